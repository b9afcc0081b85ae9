#pragma once
// Viewer: the newest checked screen picture is decoded and scaled to its place in the window on
// a thread of its own, so the user-interface thread only copies finished pixels to the screen
// and its input never waits behind a picture. A picture handed in while another still waits
// replaces it undecoded; a finished one not yet taken is replaced by a newer one alike.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/client.hpp"
#include "screen/area_scale.hpp"
#include "win/gdi_handles.hpp"

namespace kl {

// Posted to the main window when a decoded remote picture waits to be shown.
inline constexpr UINT kFrameMessage = WM_APP + 2;

struct DecodedFrame {
    unique_gdip_bitmap picture;         // empty when the frame did not decode
    std::vector<std::uint32_t> scaled;  // the picture scaled for its place, top-down rows
    int scaledWidth = 0, scaledHeight = 0;
    std::uint64_t sequence = 0;
    std::uint32_t generation = 0;
};

class FrameDecoder {
  public:
    // `window` receives `message` (both parameters 0) when a decoded frame waits to be taken;
    // at most one such message is outstanding.
    FrameDecoder(HWND window, UINT message);
    ~FrameDecoder();  // finishes the frame in hand, drops the rest
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Any thread: a checked frame, to be scaled to width x height pixels (none when 0).
    void Submit(HeldFrame frame, int width, int height);
    // The newest decoded frame, if one waits.
    bool Take(DecodedFrame& out);
    // Drops what waits, in and out (a frame being decoded is still delivered; its generation
    // tells).
    void Discard();

  private:
    struct Job {
        HeldFrame frame;
        int width = 0, height = 0;
    };
    void Run() noexcept;
    static std::unique_ptr<DecodedFrame> Decode(const Job& job, AreaScaler& scaler);

    HWND window_;
    UINT message_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;               // guarded by mutex_
    bool posted_ = false;                 // guarded by mutex_
    std::unique_ptr<Job> pending_;        // guarded by mutex_
    std::unique_ptr<DecodedFrame> done_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace kl
