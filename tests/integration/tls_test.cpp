// wss:// with a certificate made for the test, trusted explicitly by the peer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "crypto/credentials.hpp"
#include "harness.hpp"
#include "raw_ws.hpp"
#include "session/messages.hpp"

using namespace kltest;

namespace {

// A certificate for 127.0.0.1 and localhost in a folder of the test's own.
struct Certificate {
    Certificate() {
        std::filesystem::create_directories(dir);
        const std::string make =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
            key + " -out " + cert + " 2>/dev/null";
        made = std::system(make.c_str()) == 0;
    }
    ~Certificate() { std::filesystem::remove_all(dir); }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("kl-tls-" + std::to_string(getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    bool made = false;
};

// A WebSocket client over OpenSSL on a bare socket: blocking until paired, then driven by
// Pump() without blocking, writing in records of its own sizes and asking for key updates.
struct TlsWs {
    explicit TlsWs(int port, int receiveBuffer = 0, bool tls12 = false)
        : tcp(port, "127.0.0.1", receiveBuffer), context(SSL_CTX_new(TLS_client_method())) {
        if (tls12) {  // the one suite Records12 seals with
            SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
            SSL_CTX_set_cipher_list(context, "ECDHE-ECDSA-AES128-GCM-SHA256");
        }
        const timeval limit{5, 0};  // a blocking read that gets nothing fails, not hangs
        setsockopt(tcp.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        tls = SSL_new(context);
        SSL_set_fd(tls, tcp.fd());
        SSL_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        ok = tcp.connected() && SSL_connect(tls) == 1 && Write(RawWs::UpgradeRequest());
        std::string head;
        char c;
        while (ok && head.find("\r\n\r\n") == std::string::npos && SSL_read(tls, &c, 1) == 1)
            head += c;
        ok = ok && head.rfind("HTTP/1.1 101", 0) == 0;
    }
    ~TlsWs() {
        SSL_free(tls);
        SSL_CTX_free(context);
    }
    bool Write(const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const int n = SSL_write(tls, bytes.data() + at, static_cast<int>(bytes.size() - at));
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The next text message, read blocking (before Pump is used).
    std::string Text() {
        while (ok) {
            if (auto m = Parse()) {
                if (m->opcode == 0x1) return m->payload;
                continue;
            }
            char chunk[4096];
            const int n = SSL_read(tls, chunk, sizeof chunk);
            if (n <= 0)
                ok = false;
            else
                in.append(chunk, static_cast<std::size_t>(n));
        }
        return "";
    }
    std::string Field(const char* key) {
        const auto json = nlohmann::json::parse(Text(), nullptr, false);
        return json.is_object() && json.contains(key) ? json[key].get<std::string>() : "";
    }
    // Writes what is pending and reads what has come; false once the connection failed.
    bool Pump(std::mt19937& random) {
        while (ok && sent < out.size()) {
            // Records of any size, straddling frames and their headers; a write that must wait
            // is tried again as it was.
            if (piece == 0) {
                if (random() % 64 == 0) SSL_key_update(tls, SSL_KEY_UPDATE_REQUESTED);
                piece = std::min<std::size_t>(out.size() - sent, 1 + random() % 20000);
            }
            const int n = SSL_write(tls, out.data() + sent, static_cast<int>(piece));
            if (n <= 0) {
                const int error = SSL_get_error(tls, n);
                ok = error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ;
                if (!ok) failure = "write: " + Failure(error);
                break;
            }
            sent += static_cast<std::size_t>(n);
            piece = 0;
        }
        while (ok) {
            char chunk[65536];
            const int n = SSL_read(tls, chunk, sizeof chunk);
            if (n <= 0) {
                const int error = SSL_get_error(tls, n);
                ok = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
                if (!ok) failure = "read: " + Failure(error);
                break;
            }
            in.append(chunk, static_cast<std::size_t>(n));
        }
        return ok;
    }
    static std::string Failure(int error) {
        char text[256] = "";
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        return "error " + std::to_string(error) + " " + text + " (errno " + std::to_string(errno) +
               ")";
    }
    std::optional<RawWs::Message> Parse() { return RawWs::TakeFrame(in); }

    RawWs tcp;
    SSL_CTX* context;
    SSL* tls = nullptr;
    bool ok = false;
    std::string out, in, failure;
    std::size_t sent = 0, piece = 0;
};

// Records of any type a TLS 1.2 client (AES-128-GCM) might send after its upgrade request, sealed
// with its own keys: what OpenSSL would never write for it, such as renegotiation asked again
// and again.
struct Records12 {
    explicit Records12(SSL* tls) {
        unsigned char master[48], randoms[64], block[40];
        std::size_t length = sizeof block;
        SSL_SESSION_get_master_key(SSL_get_session(tls), master, sizeof master);
        SSL_get_server_random(tls, randoms, 32);
        SSL_get_client_random(tls, randoms + 32, 32);
        EVP_PKEY_CTX* prf = EVP_PKEY_CTX_new_id(EVP_PKEY_TLS1_PRF, nullptr);
        EVP_PKEY_derive_init(prf);
        EVP_PKEY_CTX_set_tls1_prf_md(prf, EVP_sha256());
        EVP_PKEY_CTX_set1_tls1_prf_secret(prf, master, sizeof master);
        EVP_PKEY_CTX_add1_tls1_prf_seed(
            prf, reinterpret_cast<const unsigned char*>("key expansion"), 13);
        EVP_PKEY_CTX_add1_tls1_prf_seed(prf, randoms, sizeof randoms);
        EVP_PKEY_derive(prf, block, &length);
        EVP_PKEY_CTX_free(prf);
        std::memcpy(key, block, 16);        // the client's write key
        std::memcpy(nonce, block + 32, 4);  // and its implicit nonce
    }
    std::string Seal(std::uint8_t type, const std::string& plain) {
        const std::size_t n = plain.size(), body = 8 + n + 16;
        std::string r{char(type), 3, 3, char(body >> 8), char(body)};
        unsigned char aad[13];
        for (int i = 0; i < 8; ++i) aad[i] = nonce[4 + i] = std::uint8_t(seq >> (56 - 8 * i));
        const unsigned char tail[5] = {type, 3, 3, std::uint8_t(n >> 8), std::uint8_t(n)};
        std::memcpy(aad + 8, tail, 5);
        ++seq;
        r.append(reinterpret_cast<const char*>(nonce + 4), 8);
        r.resize(5 + body);
        auto* out = reinterpret_cast<unsigned char*>(r.data()) + 13;
        int done = 0;
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(c, EVP_aes_128_gcm(), nullptr, key, nonce);
        EVP_EncryptUpdate(c, nullptr, &done, aad, sizeof aad);
        EVP_EncryptUpdate(c, out, &done, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(n));
        EVP_EncryptFinal_ex(c, out + n, &done);
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, out + n);
        EVP_CIPHER_CTX_free(c);
        return r;
    }
    unsigned char key[16], nonce[12];
    std::uint64_t seq = 2;  // its Finished and the upgrade request went first
};

// A host registered and a viewer connected to it (the relay checks no proof).
bool Paired(TlsWs& host, TlsWs& viewer) {
    const std::string id = kl::GenerateConnectionId();
    const auto text = [](const std::string& t) { return RawWs::Frame(0x1, t, t.size()); };
    const std::string proof = "v2:" + std::string(32, 'a') + ":" + std::string(64, 'b');
    return host.ok && viewer.ok && host.Write(text(kl::BuildHostRegistration(id))) &&
           host.Field("type") == "registered" &&
           viewer.Write(text(kl::BuildViewerRegistration(id, proof))) &&
           host.Write(text(kl::BuildConnectResponse(host.Field("requestId"), true))) &&
           host.Field("type") == "connected" && viewer.Field("type") == "connected";
}

}  // namespace

TEST(RelayOverTls, PeerConnectsWhenItTrustsTheCertificateAndExplainsWhenNot) {
    const Certificate certificate;
    ASSERT_TRUE(certificate.made);
    const std::string& cert = certificate.cert;
    const std::string& key = certificate.key;

    Relay relay({"--cert", cert, "--key", key});
    ASSERT_EQ(relay.url.rfind("wss://127.0.0.1:", 0), 0u) << relay.url;
    Process trusted(Peer({"probe", relay.url, "--ca", cert}));
    EXPECT_EQ(trusted.Wait(), 0) << trusted.Stderr();

    Process untrusted(Peer({"probe", relay.url}));
    EXPECT_EQ(untrusted.Wait(), 2);
    EXPECT_NE(untrusted.Stderr().find("certificate verify failed"), std::string::npos)
        << untrusted.Stderr();
    EXPECT_NE(untrusted.Stderr().find("--ca"), std::string::npos)
        << "the message says how to trust it";

    // The name the certificate holds works as well as its address.
    std::string byName = relay.url;
    byName.replace(6, 9, "localhost");
    Process named(Peer({"probe", byName, "--ca", cert}));
    EXPECT_EQ(named.Wait(), 0) << named.Stderr();

    // With TLS the relay may listen beyond loopback.
    Process wide(With({KL_RELAY_PATH, "--listen", "0.0.0.0", "--port", "0", "--metrics-port", "off",
                       "--cert", cert, "--key", key},
                      {}));
    EXPECT_NE(wide.ReadLine().value_or("").find("wss://0.0.0.0:"), std::string::npos)
        << wide.Stderr();
    wide.Signal(SIGTERM);
    EXPECT_EQ(wide.Wait(), 0);
}

// Messages of many TLS records each way, through reads and writes of every size; a message over
// the limit and a wrong path end their connections through the TLS close.
TEST(RelayOverTls, SessionForwardsLargeMessagesBothWaysAndClosesAsOverPlainWebSocket) {
    const Certificate certificate;
    ASSERT_TRUE(certificate.made);
    const std::string& cert = certificate.cert;
    Relay relay({"--cert", cert, "--key", certificate.key});
    Host host(relay, {"--ca", cert, "--frames", "3", "--fps", "10", "--pattern", "64x48",
                      "--frame-bytes", "3000000"});
    ASSERT_TRUE(host.registered) << host.process.Stderr();
    Process viewer(Peer({"viewer", "--relay", relay.url, "--ca", cert, "--id", host.id, "--key",
                         host.key, "--timeout", "60", "--input",
                         R"({"action":"move","x":5,"y":6,"button":0,"key":0})"}));
    for (int seq = 1; seq <= 3; ++seq) {
        const auto frame = NextEvent(viewer, "frame");
        EXPECT_EQ(frame.value("seq", 0), seq);
        EXPECT_EQ(frame.value("size", 0), 3000000);
    }
    EXPECT_EQ(NextEvent(host.process, "input").value("x", 0), 5);
    EXPECT_FALSE(NextEvent(viewer, "peerDisconnected").empty());
    EXPECT_EQ(host.process.Wait(), 0) << host.process.Stderr();
    EXPECT_EQ(viewer.Wait(), 0) << viewer.Stderr();

    Process big(Peer({"raw", "--relay", relay.url, "--ca", cert, "--register", "--binary-bytes",
                      "8388609", "--timeout", "20"}));
    EXPECT_FALSE(NextEvent(big, "closed", std::chrono::seconds(30)).empty());
    Process other(
        Peer({"probe", relay.url.substr(0, relay.url.rfind('/')) + "/other", "--ca", cert}));
    EXPECT_EQ(other.Wait(), 2);
    EXPECT_NE(other.Stderr().find("upgrade"), std::string::npos) << other.Stderr();
    std::string metrics = relay.Metrics();
    for (int i = 0; i < 50 && metrics.find("kestrelink_relay_connections 0") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        metrics = relay.Metrics();
    }
    EXPECT_NE(metrics.find("kestrelink_relay_connections 0"), std::string::npos)
        << "every TLS connection ended: " << metrics;
    EXPECT_NE(metrics.find("kestrelink_relay_forwarded_messages_total 5"), std::string::npos)
        << "Ready, three frames and one input event: " << metrics;
    EXPECT_NE(metrics.find("reason=\"message_too_big\"} 1"), std::string::npos) << metrics;
}

TEST(RelayOverTls, SighupSwapsTheCertificateForNewConnectionsAndKeepsOpenOnes) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kl-reload-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto make = [&](const std::string& name) {
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=" +
            name + " -addext subjectAltName=IP:127.0.0.1 -keyout " +
            (dir / (name + ".key")).string() + " -out " + (dir / (name + ".pem")).string() +
            " 2>/dev/null";
        return std::system(command.c_str()) == 0;
    };
    ASSERT_TRUE(make("first") && make("second"));
    const auto cert = dir / "cert.pem", key = dir / "key.pem";
    auto install = [&](const std::string& certFrom, const std::string& keyFrom) {
        std::filesystem::copy_file(dir / certFrom, cert,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(dir / keyFrom, key,
                                   std::filesystem::copy_options::overwrite_existing);
    };
    install("first.pem", "first.key");
    const std::string first = (dir / "first.pem").string(), second = (dir / "second.pem").string();
    auto probe = [&](const Relay& relay, const std::string& ca) {
        return Process(Peer({"probe", relay.url, "--ca", ca})).Wait();
    };

    Relay relay({"--cert", cert.string(), "--key", key.string()});
    Host host(relay, {"--ca", first, "--stay"});
    ASSERT_TRUE(host.registered) << host.process.Stderr();

    install("second.pem", "second.key");
    relay.process.Signal(SIGHUP);
    int withSecond = -1;
    for (int i = 0; i < 50 && (withSecond = probe(relay, second)) != 0; ++i) usleep(100000);
    EXPECT_EQ(withSecond, 0) << "new connections get the new certificate";
    EXPECT_EQ(probe(relay, first), 2) << "and no longer the old one";
    // The host connected under the old certificate is still there to be reached.
    Process viewer(Peer({"viewer", "--relay", relay.url, "--ca", second, "--id", host.id, "--key",
                         host.key, "--frames", "0", "--timeout", "20"}));
    EXPECT_EQ(NextEvent(viewer, "connected").empty(), false) << viewer.Stderr();

    // A broken pair (the key of another certificate) is refused and the one in use kept.
    install("first.pem", "second.key");
    relay.process.Signal(SIGHUP);
    for (int i = 0;
         i < 50 && relay.process.Stderr().find("keeping the certificate") == std::string::npos; ++i)
        usleep(100000);
    EXPECT_NE(relay.process.Stderr().find("keeping the certificate in use"), std::string::npos)
        << relay.process.Stderr();
    EXPECT_EQ(probe(relay, second), 0);
    EXPECT_EQ(relay.process.Wait(std::chrono::milliseconds(0)), -1) << "the relay is still running";
    std::filesystem::remove_all(dir);
}

TEST(RelayOverTls, SenderPastTheLimitGets1009AndTheRelayDrainsBeforeClosing) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kl-tls-big-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
        "-subj /CN=localhost -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Relay relay({"--cert", cert, "--key", key});
    signal(SIGPIPE, SIG_IGN);  // OpenSSL writes without MSG_NOSIGNAL

    RawWs tcp(PortOf(relay.url));
    ASSERT_TRUE(tcp.connected());
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                              SSL_CTX_free);
    std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), SSL_free);
    SSL_set_fd(tls.get(), tcp.fd());
    ASSERT_EQ(SSL_connect(tls.get()), 1);
    auto write = [&](const std::string& bytes) {
        return SSL_write(tls.get(), bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
    };
    ASSERT_TRUE(write(RawWs::UpgradeRequest()));
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && SSL_read(tls.get(), &c, 1) == 1) head += c;
    ASSERT_EQ(head.rfind("HTTP/1.1 101", 0), 0u) << head;

    // 64 MiB announced before pairing, and 1 MiB of it sent: the close frame comes through.
    ASSERT_TRUE(write(RawWs::Frame(0x2, "", 64u << 20)));
    for (int i = 0; i < 64; ++i) write(std::string(16384, 'Z'));
    unsigned char frame[4] = {};
    ASSERT_EQ(SSL_read(tls.get(), frame, sizeof frame), 4);
    EXPECT_EQ(frame[0], 0x88);
    EXPECT_EQ((frame[2] << 8) | frame[3], 1009);
    // The client goes on sending: the relay reads and discards for a while, then closes.
    const std::string more(16384, 'Z');
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(6) &&
           send(tcp.fd(), more.data(), more.size(), MSG_NOSIGNAL) > 0) {
    }
    const auto drained = std::chrono::steady_clock::now() - start;
    EXPECT_GT(drained, std::chrono::seconds(1))
        << "reset at once instead of reading and discarding";
    EXPECT_LT(drained, std::chrono::seconds(4)) << "read and discarded without bound";
    std::filesystem::remove_all(dir);
}

// Both sides of a pair send large messages at once, pings among them, in records of random
// sizes and with key updates asked of the relay as they go: every message arrives whole and
// in order, and no connection fails, while the relay reads, writes, answers key updates and
// gives its TLS buffers back in between.
TEST(RelayOverTls, MessagesBothWaysAtOnceSurviveRecordsOfAnySizeAndKeyUpdates) {
    const Certificate certificate;
    ASSERT_TRUE(certificate.made);
    Relay relay({"--cert", certificate.cert, "--key", certificate.key});
    signal(SIGPIPE, SIG_IGN);  // OpenSSL writes without MSG_NOSIGNAL
    const int port = PortOf(relay.url);
    TlsWs host(port), viewer(port);
    ASSERT_TRUE(Paired(host, viewer));

    // Sizes from a few bytes to 3 MB; each message tells its sender and number in its bytes.
    std::mt19937 random(20261208);
    std::vector<std::string> fromHost, fromViewer;
    for (auto* messages : {&fromHost, &fromViewer}) {
        for (int m = 0; m < 12; ++m) {
            const std::size_t size = m % 3 == 0 ? 1 + random() % 300 : random() % (3u << 20);
            std::string bytes(size, '\0');
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = static_cast<char>(i * 131 + (i >> 11) + m + (messages == &fromHost));
            messages->push_back(std::move(bytes));
        }
    }
    for (auto [client, messages] : {std::pair{&host, &fromHost}, std::pair{&viewer, &fromViewer}}) {
        for (const auto& message : *messages) {
            client->out += RawWs::Frame(0x2, message, message.size());
            if (random() % 2) client->out += RawWs::Frame(0x9, "p", 1);
        }
        fcntl(client->tcp.fd(), F_SETFL, fcntl(client->tcp.fd(), F_GETFL) | O_NONBLOCK);
    }
    std::size_t toHost = 0, toViewer = 0;
    const auto start = std::chrono::steady_clock::now();
    while ((toHost < fromViewer.size() || toViewer < fromHost.size()) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
        ASSERT_TRUE(host.Pump(random)) << "host's connection failed: " << host.failure;
        ASSERT_TRUE(viewer.Pump(random)) << "viewer's connection failed: " << viewer.failure;
        for (auto [client, expected, got] :
             {std::tuple{&host, &fromViewer, &toHost}, std::tuple{&viewer, &fromHost, &toViewer}}) {
            while (auto m = client->Parse()) {
                if (m->opcode == 0xA) continue;  // the relay's pongs
                ASSERT_EQ(m->opcode, 0x2) << m->payload;
                ASSERT_LT(*got, expected->size());
                ASSERT_TRUE(m->payload == (*expected)[*got])
                    << "message " << *got << " of " << (*expected)[*got].size()
                    << " bytes arrived as " << m->payload.size();
                ++*got;
            }
        }
        pollfd wait[2] = {{host.tcp.fd(), POLLIN, 0}, {viewer.tcp.fd(), POLLIN, 0}};
        for (auto& w : wait) {
            TlsWs& client = w.fd == host.tcp.fd() ? host : viewer;
            if (client.sent < client.out.size()) w.events |= POLLOUT;
        }
        poll(wait, 2, 100);
    }
    EXPECT_EQ(toHost, fromViewer.size());
    EXPECT_EQ(toViewer, fromHost.size());
}

// Over TLS a message waiting for a reader that reads nothing is held as itself and, in part, as
// its records: the memory budget counts both.
TEST(RelayOverTls, CiphertextWaitingForTheSocketCountsAgainstTheMemoryBudget) {
    const Certificate certificate;
    ASSERT_TRUE(certificate.made);
    Relay relay({"--cert", certificate.cert, "--key", certificate.key});
    const int port = PortOf(relay.url);
    TlsWs host(port), viewer(port, 4096);  // the viewer's window small from the start
    ASSERT_TRUE(Paired(host, viewer));

    // More than the kernel takes of it: the rest waits in the relay, a quarter-megabyte of it
    // as records made and not yet written.
    const std::size_t size = 6u << 20;
    ASSERT_TRUE(host.Write(RawWs::Frame(0x2, std::string(size, 'M'), size)));
    const long expected = static_cast<long>(size + (256u << 10));
    long buffered = -1;
    for (int i = 0; i < 20 && buffered < expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string metrics = relay.Metrics();
        const std::string name = "\nkestrelink_relay_buffered_bytes ";
        const auto at = metrics.find(name);
        if (at != std::string::npos) buffered = std::stol(metrics.substr(at + name.size()));
    }
    EXPECT_GE(buffered, expected) << "the message, and its records besides";
}

// A client that asks for key update after key update and reads none of the answers: it is
// closed, what the relay made for it stays small, and an honest pair beside it goes on.
TEST(RelayOverTls, AKeyUpdateFloodIsClosedWithoutHoldingOutputOrTheThread) {
    const Certificate certificate;
    ASSERT_TRUE(certificate.made);
    Relay relay({"--cert", certificate.cert, "--key", certificate.key});
    signal(SIGPIPE, SIG_IGN);
    const int port = PortOf(relay.url);
    TlsWs host(port), viewer(port), flooder(port, 4096);
    ASSERT_TRUE(Paired(host, viewer));
    ASSERT_TRUE(flooder.ok);
    fcntl(flooder.tcp.fd(), F_SETFL, fcntl(flooder.tcp.fd(), F_GETFL) | O_NONBLOCK);
    int asked = 0;
    for (; asked < 200000; ++asked) {
        SSL_key_update(flooder.tls, SSL_KEY_UPDATE_REQUESTED);
        if (SSL_do_handshake(flooder.tls) != 1) break;  // the relay has closed, or stopped reading
    }
    long buffered = -1;
    const std::string metrics = relay.Metrics();
    const auto at = metrics.find("\nkestrelink_relay_buffered_bytes ");
    if (at != std::string::npos) buffered = std::stol(metrics.substr(at + 33));
    EXPECT_GE(buffered, 0);
    EXPECT_LT(buffered, 1 << 20) << "after " << asked << " key updates";
    EXPECT_NE(flooder.tcp.ClosedWith(), -1) << "still open after " << asked << " key updates";
    // Over TLS 1.2, a client that asks to renegotiate again and again, each time answered with
    // an alert, while a write to it waits (it reads none of its pongs): closed as soon.
    TlsWs renegotiating(port, 4096, true);
    ASSERT_TRUE(renegotiating.ok);
    Records12 sealer(renegotiating.tls);
    const long before = StatusKb(relay.process.pid(), "VmHWM");
    const auto batch = [&](std::uint8_t type, const std::string& record) {
        std::string records;
        for (int i = 0; i < 1000; ++i) records += sealer.Seal(type, record);
        return renegotiating.tcp.SendAll(records);
    };
    int pings = 0, batches = 0;  // pongs past what the kernel buffers: a write waits for good
    while (pings < 30 && batch(23, RawWs::Frame(0x9, std::string(125, 'p'), 125))) ++pings;
    while (pings == 30 && batches < 1000 && batch(22, std::string("\x01\0\0\0", 4))) ++batches;
    EXPECT_LT(StatusKb(relay.process.pid(), "VmHWM") - before, 16 * 1024)
        << "kB after " << batches << " thousand renegotiations";
    EXPECT_NE(renegotiating.tcp.ClosedWith(), -1) << "after " << batches << " thousand";

    // The honest pair: a message each way, at once.
    const std::string hello = RawWs::Frame(0x2, "hello", 5);
    ASSERT_TRUE(host.Write(hello));
    ASSERT_TRUE(viewer.Write(hello));
    for (TlsWs* client : {&host, &viewer}) {
        std::optional<RawWs::Message> m;
        char chunk[4096];
        while (!(m = client->Parse())) {
            const int n = SSL_read(client->tls, chunk, sizeof chunk);
            if (n <= 0) break;
            client->in.append(chunk, static_cast<std::size_t>(n));
        }
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->payload, "hello");
    }
}
