#pragma once
// Viewer: the newest checked screen picture is decoded and scaled to its place in the window on
// a thread of its own, so the user-interface thread only copies finished pixels to the screen
// and its input never waits behind a picture. A picture handed in while another still waits
// replaces it undecoded; a finished one not yet taken is replaced by a newer one alike. A picture
// counts as decoded only once its pixels have been read out of the codec.
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

// Decoding threads that still run, including those let go by a stopped session: while one does,
// GDI+ must not be shut down (the process ends instead).
int RunningFrameDecoders() noexcept;

class FrameDecoder {
  public:
    // `window` receives `message` (both parameters 0) when a decoded frame waits to be taken;
    // at most one such message is outstanding.
    FrameDecoder(HWND window, UINT message);
    // Never waits for a picture being decoded: what waits is wiped, and the thread is let go
    // to end on its own once that picture is done, delivering nothing. A session that stops
    // therefore costs the next one nothing, and closing the window returns at once.
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Any thread: a checked frame, to be scaled to width x height pixels (none when 0).
    void Submit(HeldFrame frame, int width, int height);
    // The newest decoded frame, if one waits.
    bool Take(DecodedFrame& out);

    struct Job {
        HeldFrame frame;
        int width = 0, height = 0;
    };

  private:
    // What the thread uses: it keeps it alive after the decoder is gone.
    struct Shared {
        HWND window = nullptr;
        UINT message = 0;
        std::mutex mutex;
        std::condition_variable wake;
        bool stopping = false;               // guarded by mutex
        bool posted = false;                 // guarded by mutex
        std::unique_ptr<Job> pending;        // guarded by mutex
        std::unique_ptr<DecodedFrame> done;  // guarded by mutex
    };
    static void Run(std::shared_ptr<Shared> shared) noexcept;  // detached
    static std::unique_ptr<DecodedFrame> Decode(Job& job, AreaScaler& scaler);

    std::shared_ptr<Shared> shared_;
};

}  // namespace kl
