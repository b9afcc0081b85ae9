#pragma once
// The test binary's own operator new and delete: allocation failures forced where a test wants
// them, and freed memory searched for secrets that should have been wiped first.
#include <cstddef>
#include <string>
#include <vector>

namespace kltest {

// Allocations made on the calling thread since the last reset.
long AllocationsOnThisThread();
void ResetAllocationCount();
// The n-th allocation from now on the calling thread throws std::bad_alloc (1 = the next one);
// 0 disarms.
void FailNthAllocationOnThisThread(long n);
// While set, every allocation of at least `bytes` on any thread throws; 0 disarms.
void FailAllocationsOfAtLeast(std::size_t bytes);
// While set, every allocation on a thread other than the calling one throws.
void FailAllocationsOnOtherThreads(bool on);

// From Start() until it goes, every block given back to the heap is searched for each needle
// (raw bytes); Hits() counts the blocks that held one. (Started apart from construction, so the
// temporaries that built the needles are freed before the search begins.)
class FreedMemoryScan {
  public:
    explicit FreedMemoryScan(std::vector<std::string> needles);
    void Start();
    ~FreedMemoryScan();
    FreedMemoryScan(const FreedMemoryScan&) = delete;
    FreedMemoryScan& operator=(const FreedMemoryScan&) = delete;
    int Hits() const;

  private:
    std::vector<std::string> needles_;
};

// The bytes of a text as UTF-16LE, for needles of wide strings.
std::string Utf16Bytes(const std::string& ascii);

}  // namespace kltest
