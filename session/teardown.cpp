#include "app/client.hpp"
#include "session/session.hpp"

void StopSession(Client& app) {  // UI thread only
    ++app.sessionGeneration;
    app.activeGeneration.store(app.sessionGeneration);
    app.networkRunning.store(false);
    app.streamRunning.store(false);
    if (app.cancelFlag) app.cancelFlag->store(true);
    app.hostReady = false;
    app.consentPending = false;
    app.consentGiven = false;
    app.sessionActive = false;
    app.consentDeadline = 0;
    app.requestDeadline = 0;
    app.sendReady.notify_all();
    for (std::thread* worker : {&app.networkThread, &app.captureThread, &app.senderThread})
        if (worker->joinable()) worker->join();
    app.transport.reset();
    {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        app.eventQueue.clear();
        app.eventQueueBytes = 0;
        app.eventPosted = false;
    }
    {
        std::lock_guard<std::mutex> lock(app.sendMutex);
        app.sendQueue.clear();
        app.sendQueueBytes = 0;
    }
    app.crypto.reset();
    app.requestId.clear();
    app.requestNonce.clear();
    if (app.bannerWindow != nullptr) {
        DestroyWindow(app.bannerWindow);
        app.bannerWindow = nullptr;
    }
    ReleaseCapture();
}
