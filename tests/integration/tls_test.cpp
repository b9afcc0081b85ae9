// wss:// with a certificate made for the test, trusted explicitly by the peer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "harness.hpp"

using namespace kltest;

TEST(RelayOverTls, PeerConnectsWhenItTrustsTheCertificateAndExplainsWhenNot) {
    const auto dir = std::filesystem::temp_directory_path() / ("kl-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                             "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
                             key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);

    Relay relay({"--cert", cert, "--key", key});
    ASSERT_EQ(relay.url.rfind("wss://127.0.0.1:", 0), 0u) << relay.url;
    Process trusted(Peer({"probe", relay.url, "--ca", cert}));
    EXPECT_EQ(trusted.Wait(), 0) << trusted.Stderr();

    Process untrusted(Peer({"probe", relay.url}));
    EXPECT_EQ(untrusted.Wait(), 2);
    EXPECT_NE(untrusted.Stderr().find("certificate verify failed"), std::string::npos) << untrusted.Stderr();
    EXPECT_NE(untrusted.Stderr().find("--ca"), std::string::npos) << "the message says how to trust it";

    // The name the certificate holds works as well as its address.
    std::string byName = relay.url;
    byName.replace(6, 9, "localhost");
    Process named(Peer({"probe", byName, "--ca", cert}));
    EXPECT_EQ(named.Wait(), 0) << named.Stderr();

    // With TLS the relay may listen beyond loopback.
    Process wide(With({KL_RELAY_PATH, "--listen", "0.0.0.0", "--port", "0", "--metrics-port", "off", "--cert", cert, "--key", key}, {}));
    EXPECT_NE(wide.ReadLine().value_or("").find("wss://0.0.0.0:"), std::string::npos) << wide.Stderr();
    wide.Signal(SIGTERM);
    EXPECT_EQ(wide.Wait(), 0);
    std::filesystem::remove_all(dir);
}
