#include <sys/resource.h>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>

#include "base/command_line.hpp"
#include "peer/peer_base.hpp"

namespace kl::peer {

namespace {

// The first line of a key file or of standard input, without surrounding white space.
std::string ReadKeyLine(std::istream& in, const std::string& from) {
    std::string line;
    char c;
    while (line.size() <= 256 && in.get(c) && c != '\n') line += c;
    if (line.size() > 256) throw std::invalid_argument("the key in " + from + " is too long");
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) throw std::invalid_argument("no key in " + from);
    return line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
}

std::string ReadKey(const std::string& path) {
    if (path == "-") return ReadKeyLine(std::cin, "standard input");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::invalid_argument("cannot read --key-file " + path);
    return ReadKeyLine(file, path);
}

}  // namespace

const char* PeerUsage() {
    return R"(Usage:
  klpeer host   --relay URL [--id ID --key-file FILE] [--answer accept|refuse|ignore]
                [--frames-dir DIR | --pattern WxH] [--fps N] [--frames N] [--frame-bytes N] [--stay]
  klpeer viewer --relay URL --id ID --key-file FILE [--frames N] [--input JSON]...
                [--input-every SECONDS] [--stop-reading-after N] [--probe X,Y]
                [--probe-width W] [--save-frames DIR]
  klpeer probe  URL
  klpeer raw    --relay URL [--register] [--text-bytes N] [--binary-bytes N]
  klpeer hosts  --relay URL --count N [--first-id ID]
Common: [--ca FILE] trusts that PEM certificate for wss:// (otherwise the system's roots),
        [--timeout SECONDS] ends a run that takes longer with exit code 6.
Keys:   --key-file FILE reads the connection key from the first line of FILE; --key - (or
        --key-file -) reads it from standard input. --key KEY also works, but every user of
        the machine can read a command line (ps, /proc): use it only for throw-away keys.

host    makes an ID and key (or takes them), prints them, registers, answers requests,
        sends Ready and then frames (JPEG files of a folder, or a test pattern, default
        640x360) at --fps (default 12.5); --frames N leaves after N frames. Each frame
        carries its send time; --frame-bytes pads it to that size. Input events from the
        viewer are printed. Without --stay it leaves when its viewer leaves.
viewer  requests the host with a proof of the key, checks Ready, checks each frame's JPEG
        structure and prints it; --frames N leaves after N frames; each --input (an input
        event such as {"action":"move","x":1,"y":2,"button":0,"key":0}) is sent after Ready;
        --input-every S then sends pointer move n = 1, 2, 3... every S seconds, at
        x = n * 4099 mod 65536, y = (n / 16) * 2053 mod 65536 (the host prints each with
        its arrival time, atMs, beside the viewer's inputSent atMs);
        --stop-reading-after N stops reading after N frames and stays connected;
        --probe X,Y adds each frame's colour at that pixel ("colour":"rrggbb"); with
        --probe-width W the point is on a picture W pixels wide and each frame is probed at
        the same place scaled to its own width. Each frame line carries its JPEG quality
        ("quality", from its luminance table; 0 when the table is not a scaled standard one).
        --save-frames DIR writes frame n to DIR/frame-n.jpg. SIGUSR1 stops the input moves.
probe   registers as a host, expects "registered" and exits 0: a health check.
raw     connects and sends exactly what it is told, then reports how the relay closes.
hosts   holds N registered hosts open until SIGINT or SIGTERM (memory measurements); with
        --first-id the IDs are consecutive from it (no chance collisions between runs).

Output: one JSON object per line. Exit codes: 0 done, 1 usage, 2 cannot connect,
3 refused by the relay, 4 protocol failure, 5 closed unexpectedly, 6 timed out.
)";
}

PeerOptions ParsePeerOptions(const std::vector<std::string>& args) {
    PeerOptions o;
    if (args.empty()) throw std::invalid_argument("a mode is needed (see --help)");
    o.mode = args[0];
    if (o.mode == "--help" || o.mode == "-h" || o.mode == "help") {
        o.mode = "help";
        return o;
    }
    if (o.mode != "host" && o.mode != "viewer" && o.mode != "probe" && o.mode != "raw" &&
        o.mode != "hosts")
        throw std::invalid_argument("unknown mode \"" + o.mode + "\" (see --help)");
    std::size_t i = 1;
    if (o.mode == "probe") {
        if (args.size() < 2 || args[1].rfind("--", 0) == 0)
            throw std::invalid_argument("probe needs a relay URL");
        o.relayUrl = args[1];
        o.timeoutSeconds = 10;
        i = 2;
    }
    for (; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            o.mode = "help";
            return o;
        }
        if (name == "--stay") {
            o.stay = true;
            continue;
        }
        if (name == "--register") {
            o.registerHost = true;
            continue;
        }
        if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value (see --help)");
        const std::string& v = args[++i];
        if (name == "--relay")
            o.relayUrl = v;
        else if (name == "--ca")
            o.caFile = v;
        else if (name == "--timeout")
            o.timeoutSeconds = ParseNumberOption<double>(name, v, 0.1, 86400);
        else if (name == "--id")
            o.id = v;
        else if (name == "--key")
            o.key = v;
        else if (name == "--key-file")
            o.keyFile = v;
        else if (name == "--answer") {
            if (v != "accept" && v != "refuse" && v != "ignore")
                throw std::invalid_argument("--answer is accept, refuse or ignore");
            o.answer = v;
        } else if (name == "--frames-dir")
            o.framesDir = v;
        else if (name == "--pattern") {
            const auto x = v.find('x');
            if (x == std::string::npos)
                throw std::invalid_argument("--pattern needs WIDTHxHEIGHT, such as 1280x720");
            o.patternWidth = ParseNumberOption<int>(name, v.substr(0, x), 1, 7680);
            o.patternHeight = ParseNumberOption<int>(name, v.substr(x + 1), 1, 4320);
        } else if (name == "--fps")
            o.fps = ParseNumberOption<double>(name, v, 0.01, 1000);
        else if (name == "--frames")
            o.frameCount = ParseNumberOption<long>(name, v, 0, 1L << 40);
        else if (name == "--frame-bytes")
            o.frameBytes = ParseNumberOption<std::size_t>(name, v, 0, 8388580);
        else if (name == "--input")
            o.inputs.push_back(v);
        else if (name == "--probe") {
            const auto comma = v.find(',');
            if (comma == std::string::npos)
                throw std::invalid_argument("--probe needs X,Y, such as 100,200");
            o.probeX = ParseNumberOption<int>(name, v.substr(0, comma), 0, 65535);
            o.probeY = ParseNumberOption<int>(name, v.substr(comma + 1), 0, 65535);
        } else if (name == "--probe-width")
            o.probeWidth = ParseNumberOption<int>(name, v, 1, 7680);
        else if (name == "--save-frames")
            o.saveFramesDir = v;
        else if (name == "--input-every")
            o.inputEverySeconds = ParseNumberOption<double>(name, v, 0.01, 3600);
        else if (name == "--stop-reading-after")
            o.stopReadingAfter = ParseNumberOption<long>(name, v, 0, 1L << 40);
        else if (name == "--text-bytes")
            o.textBytes = ParseNumberOption<std::size_t>(name, v, 1, 1u << 30);
        else if (name == "--binary-bytes")
            o.binaryBytes = ParseNumberOption<std::size_t>(name, v, 1, 1u << 30);
        else if (name == "--count")
            o.count = ParseNumberOption<std::size_t>(name, v, 1, 1000000);
        else if (name == "--first-id")
            o.firstId = ParseNumberOption<long>(name, v, 100000000, 999999999);
        else
            throw std::invalid_argument("unknown option " + name + " (see --help)");
    }
    if (o.relayUrl.empty()) throw std::invalid_argument(o.mode + " needs --relay URL");
    if (!o.keyFile.empty() && !o.key.empty())
        throw std::invalid_argument("give either --key or --key-file");
    if (!o.keyFile.empty())
        o.key = ReadKey(o.keyFile);
    else if (o.key == "-")
        o.key = ReadKey("-");
    if (o.mode == "viewer" && (o.id.empty() || o.key.empty()))
        throw std::invalid_argument("viewer needs --id and --key-file (or --key)");
    if (!o.framesDir.empty() && o.frameBytes > 0 && o.frameBytes < 20)
        throw std::invalid_argument("--frame-bytes too small");
    return o;
}

int RunPeer(const PeerOptions& options) {
    WsTarget target;
    std::string error;
    if (!ParseTarget(options.relayUrl, target, error))
        Quit(kExitUsage, "relay URL refused: " + error);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    boost::asio::io_context ioc(1);
    boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
    try {
        ConfigureTls(tls, options.caFile);
    } catch (const std::exception& e) {
        Quit(kExitUsage, "cannot use --ca " + options.caFile + ": " + e.what());
    }
    std::unique_ptr<PeerBase> peer;
    if (options.mode == "host" || options.mode == "probe")
        peer = MakeHostPeer(ioc, tls, options, target);
    else if (options.mode == "viewer")
        peer = MakeViewerPeer(ioc, tls, options, target);
    else if (options.mode == "raw")
        peer = MakeRawPeer(ioc, tls, options, target);
    else
        peer = MakeIdleHosts(ioc, tls, options, target);

    boost::asio::signal_set pause(ioc, SIGUSR1);
    std::function<void(boost::system::error_code, int)> onPause = [&](boost::system::error_code ec,
                                                                      int) {
        if (ec) return;
        peer->OnUserSignal();
        pause.async_wait(onPause);
    };
    pause.async_wait(onPause);
    boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (ec) return;
        peer->Leave(kExitOk);
        // A relay that does not answer the close still lets the peer go.
        auto grace = std::make_shared<boost::asio::steady_timer>(ioc, std::chrono::seconds(2));
        grace->async_wait([grace, &ioc](boost::system::error_code) { ioc.stop(); });
    });
    boost::asio::steady_timer deadline(ioc);
    if (options.timeoutSeconds > 0) {
        deadline.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options.timeoutSeconds)));
        deadline.async_wait([&](boost::system::error_code ec) {
            if (!ec)
                Quit(kExitTimeout, options.mode + " timed out after " +
                                       std::to_string(options.timeoutSeconds) + " s");
        });
    }
    peer->Start();
    ioc.run();
    return peer->exitCode();
}

}  // namespace kl::peer
