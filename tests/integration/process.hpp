#pragma once
// A child process for the integration tests: its standard output read line by line with a
// time limit, its standard error kept in a file, and it is killed if a test leaves it running.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kltest {

class Process {
  public:
    // `input`, when given, is the whole of the child's standard input.
    explicit Process(std::vector<std::string> argv,
                     const std::optional<std::string>& input = std::nullopt) {
        char pattern[] = "/tmp/kl-stderr-XXXXXX";
        const int errFd = mkstemp(pattern);
        if (errFd < 0) throw std::runtime_error("mkstemp");
        stderrPath_ = pattern;
        int out[2], in[2] = {-1, -1};
        if (pipe(out) != 0 || (input && pipe(in) != 0)) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(errFd, 2);
            close(out[0]);
            close(out[1]);
            if (input) {
                dup2(in[0], 0);
                close(in[0]);
                close(in[1]);
            }
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(errFd);
        out_ = out[0];
        if (input) {  // small enough for the pipe's buffer; a short write shows in the child's
                      // output
            close(in[0]);
            [[maybe_unused]] const ssize_t n = write(in[1], input->data(), input->size());
            close(in[1]);
        }
    }
    ~Process() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        unlink(stderrPath_.c_str());
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The next line of standard output, or nothing at end of output or after `limit`.
    std::optional<std::string> ReadLine(
        std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[65536];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Exit code (or 128 + signal), or -1 if still running after `limit`.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        if (status_) return *status_;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return *status_;
            }
            if (std::chrono::steady_clock::now() > deadline) return -1;
            usleep(10000);
        }
    }

    void Signal(int sig) { kill(pid_, sig); }
    int pid() const { return pid_; }
    std::string Stderr() const {
        std::ifstream in(stderrPath_);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_, stderrPath_;
    std::optional<int> status_;
};

}  // namespace kltest
