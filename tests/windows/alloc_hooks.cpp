#include "alloc_hooks.hpp"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

thread_local long t_count = 0;
thread_local long t_failIn = 0;
std::atomic<std::size_t> g_failAtLeast{0};
std::atomic<bool> g_failOthers{false};
std::thread::id g_exempt;
std::atomic<const std::vector<std::string>*> g_needles{nullptr};
std::atomic<int> g_hits{0};

void* Allocate(std::size_t size) {
    ++t_count;
    if (t_failIn > 0 && --t_failIn == 0) throw std::bad_alloc();
    const std::size_t limit = g_failAtLeast.load();
    if (limit != 0 && size >= limit) throw std::bad_alloc();
    if (g_failOthers.load() && std::this_thread::get_id() != g_exempt) throw std::bad_alloc();
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void Release(void* p) noexcept {
    if (p == nullptr) return;
    if (const auto* needles = g_needles.load()) {
        const char* begin = static_cast<const char*>(p);
        const char* end = begin + _msize(p);
        for (const std::string& needle : *needles)
            if (std::search(begin, end, needle.begin(), needle.end()) != end) {
                ++g_hits;
                break;
            }
    }
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace kltest {

long AllocationsOnThisThread() {
    return t_count;
}
void ResetAllocationCount() {
    t_count = 0;
}
void FailNthAllocationOnThisThread(long n) {
    t_failIn = n;
}
void FailAllocationsOfAtLeast(std::size_t bytes) {
    g_failAtLeast = bytes;
}
void FailAllocationsOnOtherThreads(bool on) {
    g_exempt = std::this_thread::get_id();
    g_failOthers = on;
}

FreedMemoryScan::FreedMemoryScan(std::vector<std::string> needles) : needles_(std::move(needles)) {}
void FreedMemoryScan::Start() {
    g_hits = 0;
    g_needles = &needles_;
}
FreedMemoryScan::~FreedMemoryScan() {
    g_needles = nullptr;
}
int FreedMemoryScan::Hits() const {
    return g_hits;
}

std::string Utf16Bytes(const std::string& ascii) {
    std::string bytes;
    for (const char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

}  // namespace kltest
