#pragma once
// klpeer's roles and tools over one io_context. Each prints one JSON object per line on
// standard output and explains a failure on standard error.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstddef>
#include <string>
#include <vector>

namespace kl::peer {

// Exit codes.
inline constexpr int kExitOk = 0, kExitUsage = 1, kExitConnect = 2, kExitRefused = 3,
                     kExitProtocol = 4, kExitClosed = 5, kExitTimeout = 6;

struct PeerOptions {
    std::string mode;  // host, viewer, probe, raw, hosts
    std::string relayUrl, caFile;
    double timeoutSeconds = 0;  // 0: no overall limit
    // host
    std::string id, key;            // viewer: the host to reach and its key
    std::string keyFile;            // where the key was read from ("-": standard input)
    std::string answer = "accept";  // accept, refuse, ignore
    std::string framesDir;
    int patternWidth = 640, patternHeight = 360;
    double fps = 12.5;
    long frameCount = -1;  // host: frames to send before leaving; viewer: frames to receive
    std::size_t frameBytes = 0;
    bool stay = false;  // host: keep the registration after a session ends
    // viewer
    std::vector<std::string> inputs;  // JSON input events sent after Ready
    double inputEverySeconds = 0;     // then a numbered pointer move this often (0: none)
    long stopReadingAfter = -1;       // frames, then read nothing more (a stalled viewer)
    int probeX = -1, probeY = -1;     // report each frame's colour at this point
    int probeWidth = 0;         // the probe's place is on a picture this wide (0: each frame's own)
    std::string saveFramesDir;  // write each frame there as a JPEG file (viewer)
    // raw
    bool registerHost = false;
    std::size_t textBytes = 0, binaryBytes = 0;
    // hosts
    std::size_t count = 1;
    long firstId = 0;  // hosts: IDs firstId, firstId + 1, ... instead of random ones
};

// Parses argv[1..]; throws std::invalid_argument with a message for the user.
PeerOptions ParsePeerOptions(const std::vector<std::string>& args);
const char* PeerUsage();

// Runs the chosen mode to its end and returns the exit code.
int RunPeer(const PeerOptions& options);

}  // namespace kl::peer
