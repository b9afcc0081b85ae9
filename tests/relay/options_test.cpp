#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "relay/client_input.hpp"
#include "relay/metrics.hpp"
#include "relay/options.hpp"

using kl::relay::ParseOptions;

TEST(RelayOptions, DefaultsAreSaneAndEveryLimitCanBeSet) {
    const auto d = ParseOptions({});
    EXPECT_EQ(d.listen, "127.0.0.1");
    EXPECT_EQ(d.maxBinaryBytes, 8388608u);
    EXPECT_EQ(d.routing.maxTextBytes, 16384u);
    EXPECT_GE(d.sendBufferBytes, d.maxBinaryBytes)
        << "one largest message must fit the send buffer";
    EXPECT_LE(d.pairedBufferBytes, 1u << 20)
        << "about two large frames wait for a slow side, no backlog";
    EXPECT_LT(d.pairedBufferBytes + d.maxBinaryBytes, d.sendBufferBytes)
        << "flow control acts before the hard cap";
    const auto o = ParseOptions({"--port",
                                 "0",
                                 "--max-connections",
                                 "5",
                                 "--max-connections-per-address",
                                 "2",
                                 "--viewer-requests-per-minute",
                                 "7",
                                 "--register-timeout-ms",
                                 "500",
                                 "--request-timeout-ms",
                                 "1500",
                                 "--max-text-bytes",
                                 "1000",
                                 "--metrics-port",
                                 "off",
                                 "--paired-buffer-bytes",
                                 "65536",
                                 "--stalled-reader-ms",
                                 "3000",
                                 "--receive-buffer-bytes",
                                 "131072"});
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.maxConnections, 5u);
    EXPECT_EQ(o.maxConnectionsPerAddress, 2u);
    EXPECT_EQ(o.routing.viewerRequestsPerMinute, 7u);
    EXPECT_EQ(o.routing.registerDeadline.count(), 500);
    EXPECT_EQ(o.routing.requestDeadline.count(), 1500);
    EXPECT_EQ(o.routing.maxTextBytes, 1000u);
    EXPECT_EQ(o.metricsPort, -1);
    EXPECT_EQ(o.pairedBufferBytes, 65536u);
    EXPECT_EQ(o.stalledReaderTime.count(), 3000);
    EXPECT_EQ(o.receiveBufferBytes, 131072);
    const auto limits = ParseOptions({"--max-handshakes-per-address", "3", "--handshake-timeout-ms",
                                      "800", "--memory-budget-bytes", "67108864"});
    EXPECT_EQ(limits.maxHandshakesPerAddress, 3u);
    EXPECT_EQ(limits.handshakeTimeout.count(), 800);
    EXPECT_EQ(limits.memoryBudgetBytes, 67108864u);
    EXPECT_LE(d.handshakeTimeout.count(), 5000)
        << "a silent socket must not hold its place for long";
    EXPECT_GE(d.memoryBudgetBytes, d.sendBufferBytes);
    EXPECT_EQ(ParseOptions({"--idle-timeout-seconds", "45"}).idleTimeout.count(), 45);
    EXPECT_GE(d.idleTimeout.count(), 60) << "the program pings every 30 s";
}

TEST(RelayOptions, BadCommandLinesAreExplained) {
    auto message = [](const std::vector<std::string>& args) {
        try {
            ParseOptions(args);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(message({"--port", "70000"}).find("--port"), std::string::npos);
    EXPECT_NE(message({"--port", "12x"}).find("--port"), std::string::npos);
    EXPECT_NE(message({"--max-connections", "-1"}).find("--max-connections"), std::string::npos);
    EXPECT_NE(message({"--cert", "a.pem"}).find("--key"), std::string::npos);
    EXPECT_NE(message({"--port"}).find("needs a value"), std::string::npos);
    EXPECT_NE(message({"--frobnicate", "1"}).find("unknown option"), std::string::npos);
    EXPECT_NE(message({"--send-buffer-bytes", "100000"}).find("--send-buffer-bytes"),
              std::string::npos);
    EXPECT_NE(message({"--stalled-reader-ms", "0"}).find("--stalled-reader-ms"), std::string::npos);
    EXPECT_NE(message({"--paired-buffer-bytes", "10"}).find("--paired-buffer-bytes"),
              std::string::npos);
    EXPECT_NE(message({"--memory-budget-bytes", "2000000"}).find("--memory-budget-bytes"),
              std::string::npos);
    EXPECT_NE(message({"--redis-ca", "/etc/hostname"}).find("rediss://"), std::string::npos)
        << "a CA file without TLS to Redis is a mistake, not ignored";
    EXPECT_NE(
        message({"--redis", "rediss://h", "--redis-ca", "/nonexistent/ca.pem"}).find("cannot read"),
        std::string::npos);
    EXPECT_NE(
        message({"--redis", "rediss://h", "--redis-cert", "/etc/hostname"}).find("--redis-key"),
        std::string::npos);
    const std::string secret = ::testing::TempDir() + "kl-options-secret";
    std::ofstream(secret) << std::string(64, 'k');
    ::chmod(secret.c_str(), 0600);
    EXPECT_EQ(message({"--redis", "rediss://h:6380", "--redis-ca", "/etc/hostname",
                       "--cluster-secret-file", secret}),
              "accepted");
    EXPECT_NE(message({"--redis", "redis://h:6380"}).find("--cluster-secret-file"),
              std::string::npos)
        << "a cluster without the secret would trust whatever Redis carries";
    EXPECT_NE(message({"--redis", "redis://h:1", "--cluster-secret-file", secret,
                       "--redis-password-file", "/etc/hostname"})
                  .find("read by anyone"),
              std::string::npos);
    EXPECT_NE(message({"--proxy-protocol-from", "10.0.0.0/40"}).find("--proxy-protocol-from"),
              std::string::npos);
    EXPECT_EQ(message({"--proxy-protocol-from", "10.0.0.0/8,::1"}), "accepted");
    std::remove(secret.c_str());
}

TEST(RelayOptions, PlainWebSocketOnlyOnLoopback) {
    std::string error;
    auto options = ParseOptions({"--listen", "127.0.0.1"});
    EXPECT_TRUE(kl::relay::CheckListenPolicy(options, error));
    options.listen = "::1";
    EXPECT_TRUE(kl::relay::CheckListenPolicy(options, error));
    options.listen = "0.0.0.0";
    EXPECT_FALSE(kl::relay::CheckListenPolicy(options, error));
    EXPECT_NE(error.find("--cert"), std::string::npos);
    options.listen = "relay.example";
    EXPECT_FALSE(kl::relay::CheckListenPolicy(options, error));
    options = ParseOptions({"--listen", "0.0.0.0", "--cert", "c.pem", "--key", "k.pem"});
    EXPECT_TRUE(kl::relay::CheckListenPolicy(options, error));
}

TEST(RelayMetrics, PrometheusTextHoldsEveryFigureAndRefusalReason) {
    kl::relay::Counters routing;
    routing.registeredHosts = 3;
    routing.pairedSessions = 1;
    routing.refusals["busy"] = 2;
    kl::relay::TrafficCounters traffic;
    traffic.openConnections = 5;
    traffic.bytesForwarded = 12345;
    traffic.bufferedBytes = 4096;
    routing.addressRecords = 7;
    const std::string text = kl::relay::FormatMetrics(routing, traffic);
    EXPECT_NE(text.find("\nkestrelink_relay_connections 5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nkestrelink_relay_registered_hosts 3\n"), std::string::npos);
    EXPECT_NE(text.find("\nkestrelink_relay_paired_sessions 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nkestrelink_relay_pending_requests 0\n"), std::string::npos);
    EXPECT_NE(text.find("\nkestrelink_relay_forwarded_bytes_total 12345\n"), std::string::npos);
    EXPECT_NE(text.find("kestrelink_relay_refusals_total{reason=\"busy\"} 2\n"), std::string::npos);
    EXPECT_NE(text.find("\nkestrelink_relay_buffered_bytes 4096\n"), std::string::npos);
    EXPECT_NE(text.find("\nkestrelink_relay_address_records 7\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE kestrelink_relay_forwarded_bytes_total counter"),
              std::string::npos);
}

TEST(RelayClientInput, AddressesCountPerHostOrPerIpv6Slash64) {
    using boost::asio::ip::make_address;
    using kl::relay::AddressKey;
    EXPECT_EQ(AddressKey(make_address("203.0.113.7")), "203.0.113.7");
    EXPECT_EQ(AddressKey(make_address("::ffff:203.0.113.7")), "203.0.113.7");
    EXPECT_EQ(AddressKey(make_address("2001:db8:1:2:aaaa::1")), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressKey(make_address("2001:db8:1:2:ffff:ffff:ffff:ffff")), "2001:db8:1:2::/64");
    EXPECT_NE(AddressKey(make_address("2001:db8:1:3::1")), "2001:db8:1:2::/64");
}

TEST(RelayClientInput, LoggedTextStaysOneFieldAndWholeCharacters) {
    using kl::relay::LogQuoted;
    EXPECT_EQ(LogQuoted("/ws"), "\"/ws\"");
    EXPECT_EQ(LogQuoted("/a b\"c\\\r\n\x7f"), "\"/a\\x20b\\x22c\\x5c\\x0d\\x0a\\x7f\"");
    EXPECT_EQ(LogQuoted("/\xE2\x80\xAE"), "\"/\\xe2\\x80\\xae\"") << "a bidi override is escaped";
    EXPECT_EQ(LogQuoted(std::string(64, 'a')), "\"" + std::string(64, 'a') + "\"");
    EXPECT_EQ(LogQuoted(std::string(63, 'a') + "\xC3\xA9"), "\"" + std::string(63, 'a') + "\"...")
        << "the cut never splits a character";
    EXPECT_EQ(LogQuoted(std::string(62, 'a') + "\xC3\xA9!"),
              "\"" + std::string(62, 'a') + "\\xc3\\xa9\"...");
}
