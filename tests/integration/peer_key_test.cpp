// klpeer takes the connection key from a file or from standard input, so that it need not
// stand on a command line that every user of the machine can read.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.hpp"

using namespace kltest;

namespace {

struct KeyFile {
    explicit KeyFile(const std::string& text) {
        const int fd = mkstemp(path);
        if (fd < 0) throw std::runtime_error("mkstemp");
        [[maybe_unused]] const ssize_t n = write(fd, text.data(), text.size());
        close(fd);
    }
    ~KeyFile() { unlink(path); }
    char path[32] = "/tmp/kl-key-XXXXXX";
};

}  // namespace

TEST(PeerKey, ViewerReadsTheKeyFromAFileOrStandardInput) {
    Relay relay;
    Host host(relay, {"--stay", "--fps", "25", "--pattern", "64x48"});
    ASSERT_TRUE(host.registered) << host.process.Stderr();
    const KeyFile file("  " + host.key + " \r\nnot the key\n");
    const auto viewer = [&](const std::vector<std::string>& key) {
        return Peer(With(
            {"viewer", "--relay", relay.url, "--id", host.id, "--frames", "1", "--timeout", "30"},
            key));
    };
    Process fromFile(viewer({"--key-file", file.path}));
    EXPECT_EQ(fromFile.Wait(), 0) << fromFile.Stderr();
    EXPECT_EQ(NextEvent(host.process, "request").value("proofValid", false), true);
    Process fromInput(viewer({"--key", "-"}), host.key + "\n");
    EXPECT_EQ(fromInput.Wait(), 0) << fromInput.Stderr();
    EXPECT_EQ(NextEvent(host.process, "request").value("proofValid", false), true);

    // Clear refusals before anything connects.
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--key-file", "/nonexistent/key"}, "cannot read --key-file /nonexistent/key"},
        {{"--key", host.key, "--key-file", file.path}, "either --key or --key-file"},
        {{"--key", "-"}, "no key in standard input"},
    };
    for (const auto& [args, message] : refused) {
        Process bad(viewer(args), std::string(" \n"));
        EXPECT_EQ(bad.Wait(), 1) << message;
        EXPECT_NE(bad.Stderr().find(message), std::string::npos) << bad.Stderr();
    }
    Process help(Peer({"--help"}));
    std::string usage;
    while (const auto line = help.ReadLine()) usage += *line + "\n";
    EXPECT_NE(usage.find("--key-file FILE"), std::string::npos) << usage;
    EXPECT_NE(usage.find("every user of"), std::string::npos) << "--help names the risk of --key";
}
