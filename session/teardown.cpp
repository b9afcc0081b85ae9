#include "app/client.hpp"
#include "input/inject.hpp"
#include "net/transport.hpp"
#include "screen/frame_decoder.hpp"
#include "screen/remote_frame.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

void StopSession(Client& app) {
    ExpectUiThread(app);
    ++app.sessionGeneration;
    app.activeGeneration = app.sessionGeneration;
    app.streamRunning = false;
    app.networkRunning = false;
    {
        // Taking the lock orders the flag change before a waiting sender re-tests it.
        std::lock_guard<std::mutex> lock(app.sendMutex);
    }
    app.sendReady.notify_all();
    app.hostReady = false;
    app.consentGiven = false;
    app.sessionActive = false;
    app.consentPending = false;
    app.requestDeadline = 0;
    app.consentDeadline = 0;
    if (app.cancelFlag) *app.cancelFlag = true;
    if (app.transport) app.transport->Close();
    if (app.networkThread.joinable()) app.networkThread.join();
    // The network worker may have completed its connection after the first close.
    if (app.transport) app.transport->Close();
    if (app.captureThread.joinable()) app.captureThread.join();
    if (app.senderThread.joinable()) app.senderThread.join();
    {
        std::lock_guard<std::mutex> lock(app.sendMutex);
        app.sendQueue.clear();
        app.sendQueueBytes = 0;
    }
    app.transport.reset();
    app.crypto.reset();
    kl::ReleaseHeldInput(app.inputSender);
    if (app.bannerWindow != nullptr) {
        DestroyWindow(app.bannerWindow);
        app.bannerWindow = nullptr;
    }
    app.forwardedButtons = 0;  // a viewer's: the host releases them in its own stop
    if (app.mainWindow != nullptr) ReleaseCapture();
    {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        app.eventQueue.clear();
        app.eventQueueBytes = 0;
        app.eventPosted = false;
    }
    app.eventOverflow = false;
    // A picture still being decoded is let go with its decoder: the next session's pictures
    // never wait behind it. What the session showed or held is wiped.
    app.frameDecoder.reset();
    kl::ReleaseRemotePicture(app);
    app.requestId.clear();
    app.requestNonce.clear();
}

void StopWithStatus(Client& app, const std::wstring& status) {  // UI thread only
    StopSession(app);
    app.viewerMode = false;
    LayoutControls(app);
    SetStatus(app, status);
}
