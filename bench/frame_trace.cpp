// Linked into the benchmark's build of the program (kestrelink_traced.exe) beside the usual
// entry point: records every frame-stage mark with the performance counter and the thread,
// and appends them to the file named by KL_FRAME_TRACE every 100 ms. With
// KL_FRAME_DELAY_FILE naming a file that holds a number of milliseconds, each decoded
// picture takes that much longer (a viewer slowed down on purpose).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "screen/frame_stages.hpp"

namespace {

struct Mark {
    long long ticks;
    unsigned long thread;
    int stage;
    unsigned long long a, b;
};

struct Recorder {
    std::mutex mutex;
    std::vector<Mark> marks;  // guarded by mutex
    std::FILE* file = nullptr;
    std::string delayFile;
    double ticksPerMicrosecond = 1;

    Recorder() {
        const char* path = std::getenv("KL_FRAME_TRACE");
        if (path == nullptr || *path == 0) return;
        file = std::fopen(path, "w");
        if (file == nullptr) return;
        if (const char* delay = std::getenv("KL_FRAME_DELAY_FILE")) delayFile = delay;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        ticksPerMicrosecond = frequency.QuadPart / 1e6;
        std::fprintf(file, "# microseconds thread stage a b\n");
        std::fflush(file);
        kl::g_frameStageHook = &Hook;
        std::thread([this] {
            for (;;) {
                Sleep(100);
                Flush();
            }
        }).detach();
    }

    void Flush() {
        std::vector<Mark> batch;
        {
            std::lock_guard<std::mutex> lock(mutex);
            batch.swap(marks);
        }
        for (const Mark& m : batch)
            std::fprintf(file, "%.1f %lu %d %llu %llu\n", m.ticks / ticksPerMicrosecond, m.thread,
                         m.stage, m.a, m.b);
        std::fflush(file);
    }

    int DelayMs() const {
        if (delayFile.empty()) return 0;
        std::FILE* f = std::fopen(delayFile.c_str(), "r");
        if (f == nullptr) return 0;
        int ms = 0;
        if (std::fscanf(f, "%d", &ms) != 1) ms = 0;
        std::fclose(f);
        return ms;
    }

    static void Hook(kl::FrameStage stage, std::uint64_t a, std::uint64_t b);
};

Recorder recorder;

void Recorder::Hook(kl::FrameStage stage, std::uint64_t a, std::uint64_t b) {
    if (stage == kl::FrameStage::Decoded) {
        if (const int ms = recorder.DelayMs(); ms > 0) Sleep(static_cast<DWORD>(ms));
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.marks.push_back({now.QuadPart, GetCurrentThreadId(), static_cast<int>(stage), a, b});
}

}  // namespace
