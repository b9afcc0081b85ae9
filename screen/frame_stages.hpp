#pragma once
// Marks on the road of a screen frame, for the screen benchmark's per-stage times. Nothing is
// recorded unless a benchmark build installs a hook; the program itself keeps no log.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kl {

enum class FrameStage : std::uint8_t {
    PeriodStart,   // capture worker: a period begins (a = period number)
    Grabbed,       // the screen is in the buffer (a = period)
    Compared,      // compared with the frame last sent (a = period, b = 1 when equal)
    Encoded,       // JPEG ready (a = period)
    Queued,        // handed to the outgoing queue (a = the plaintext's address)
    Dequeued,      // sender took it (a = the plaintext's address)
    Sealed,        // sender encrypted it (a = the plaintext's address, b = sequence number)
    Sent,          // the transport has sent it (b = sequence number)
    Received,      // viewer: the envelope reached the event queue (b = sequence number)
    Drained,       // the UI thread took it from the queue (b = sequence number)
    Opened,        // decrypted and checked (b = sequence number)
    Superseded,    // a newer frame of the same batch replaces it undecoded (b = sequence number)
    Decoded,       // decoded into the remote picture (b = sequence number)
    Painted,       // the remote picture was drawn into the window
    InputQueued,   // viewer: input handed to the outgoing queue (a = the plaintext's address)
    InputSent,     // viewer: the transport has sent it (a = as queued, b = sequence number)
    InputApplied,  // host: an input event was checked and injected (b = sequence number)
    Scaled,        // viewer: the decoded picture is scaled for the window (b = sequence number)
    Taken,         // viewer: the window's thread took the decoded picture (b = sequence number)
};

using FrameStageHook = void (*)(FrameStage stage, std::uint64_t a, std::uint64_t b);
inline std::atomic<FrameStageHook> g_frameStageHook{nullptr};

inline void MarkFrameStage(FrameStage stage, std::uint64_t a = 0, std::uint64_t b = 0) {
    if (FrameStageHook hook = g_frameStageHook.load(std::memory_order_relaxed)) hook(stage, a, b);
}

// The big-endian sequence number of an envelope ("KL", version, kind, then 8 bytes); 0 if short.
inline std::uint64_t EnvelopeSequence(const std::uint8_t* envelope, std::size_t length) {
    if (length < 12) return 0;
    std::uint64_t sequence = 0;
    for (std::size_t i = 4; i < 12; ++i) sequence = sequence << 8 | envelope[i];
    return sequence;
}

}  // namespace kl
