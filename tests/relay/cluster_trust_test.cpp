// What the relay takes from Redis and from balancers before trusting it: replies bounded as
// they arrive, PROXY headers read exactly, and relay messages sealed under the cluster secret.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "relay/cluster_seal.hpp"
#include "relay/proxy_protocol.hpp"
#include "relay/resp_filter.hpp"

using namespace kl::relay;

namespace {

// Feeds `in` in pieces of `step` bytes; what the filter kept, or "FAULT: why".
std::string Filtered(std::size_t maxBulk, const std::string& in, std::size_t step) {
    RespFilter filter(maxBulk);
    std::string out;
    auto sink = [](void* c, const char* d, std::size_t n) {
        static_cast<std::string*>(c)->append(d, n);
    };
    for (std::size_t i = 0; i < in.size(); i += step)
        if (!filter.Feed(in.data() + i, std::min(step, in.size() - i), sink, &out))
            return "FAULT: " + filter.fault();
    return out;
}

}  // namespace

TEST(RespFilter, KeepsRepliesWholeEmptiesOversizedBulksAndRefusesUnboundedShapes) {
    const std::string push = "*3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$5\r\nhello\r\n";
    const std::string plain = "+OK\r\n:42\r\n$-1\r\n-ERR no\r\n*-1\r\n*0\r\n" + push;
    const std::string big = "*3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$11\r\nhello world\r\n";
    const std::string emptied = "*3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$0\r\n\r\n";
    for (std::size_t step : {1, 3, 7, 1000}) {
        EXPECT_EQ(Filtered(10, plain, step), plain) << step;
        EXPECT_EQ(Filtered(10, big + push, step), emptied + push) << step;
    }
    EXPECT_EQ(Filtered(10, "*100000000\r\n", 5).rfind("FAULT", 0), 0u);
    EXPECT_EQ(Filtered(10, "+" + std::string(70000, 'x'), 4096).rfind("FAULT", 0), 0u);
    EXPECT_EQ(Filtered(10, "?x\r\n", 1).rfind("FAULT", 0), 0u);
    EXPECT_EQ(Filtered(10, "$12x\r\n", 1).rfind("FAULT", 0), 0u);
    // Many bulks each within the bound still cannot make one reply hiredis holds unbounded.
    std::string wide = "*1000\r\n";
    for (int i = 0; i < 1000; ++i) wide += "$100\r\n" + std::string(100, 'w') + "\r\n";
    EXPECT_EQ(Filtered(100, wide, 4096).rfind("FAULT", 0), 0u);
    EXPECT_EQ(Filtered(0, "$0\r\n\r\n", 1), "$0\r\n\r\n");
}

TEST(ProxyProtocol, ReadsV2AndV1ExactlyAndRefusesAnythingElse) {
    auto read = [](const std::string& bytes, std::size_t& used) {
        ProxyHeaderReader r;
        used = 0;
        while (std::size_t n = r.Wanted()) {
            if (used + n > bytes.size()) break;
            r.Take(reinterpret_cast<const std::uint8_t*>(bytes.data()) + used, n);
            used += n;
        }
        return r;
    };
    const std::string sig("\r\n\r\n\0\r\nQUIT\n", 12);
    const std::string v4 = sig + std::string("\x21\x11\x00\x0c", 4) +
                           std::string("\xc0\x00\x02\x07\x7f\x00\x00\x01\x30\x39\x01\xbb", 12);
    std::size_t used = 0;
    auto r = read(v4 + "GET /ws", used);
    ASSERT_TRUE(r.done());
    EXPECT_EQ(used, v4.size()) << "nothing past the header is read";
    EXPECT_EQ(r.client()->to_string(), "192.0.2.7");
    std::string v6 = sig + std::string("\x21\x21\x00\x24", 4) + std::string(36, '\0');
    v6[16] = '\x20';
    v6[17] = '\x01';
    EXPECT_EQ(read(v6, used).client()->to_string(), "2001::");
    const std::string local = sig + std::string("\x20\x00\x00\x00", 4);
    EXPECT_TRUE(read(local + "x", used).done());
    EXPECT_FALSE(read(local, used).client());
    const std::string v1 = "PROXY TCP4 198.51.100.9 10.0.0.1 5555 443\r\n";
    r = read(v1 + "\x16\x03", used);
    EXPECT_EQ(used, v1.size());
    EXPECT_EQ(r.client()->to_string(), "198.51.100.9");
    EXPECT_TRUE(read("PROXY UNKNOWN\r\n", used).done());
    for (const std::string& bad : std::vector<std::string>{
             "GET /ws HTTP/1.1\r\n", "PROXY TCP4 nope 1.1.1.1 1 2\r\n",
             "PROXY TCP6 10.0.0.1 ::1 1 2\r\n", "PROXY TCP4 " + std::string(200, '1'),
             sig + std::string("\x21\x11\x02\x01", 4) + std::string(513, '\0'),
             sig + std::string("\x31\x11\x00\x0c", 4) + std::string(12, '\0'),
             sig + std::string("\x21\x31\x00\x6c", 4) + std::string(108, '\0')})
        EXPECT_TRUE(read(bad, used).failed()) << bad.substr(0, 40);
    const auto cidrs = ParseCidrList("10.0.0.0/8,2001:db8::/32,192.0.2.7");
    using boost::asio::ip::make_address;
    EXPECT_TRUE(InCidrs(cidrs, make_address("10.200.1.1")));
    EXPECT_TRUE(InCidrs(cidrs, make_address("::ffff:10.0.0.1")));
    EXPECT_TRUE(InCidrs(cidrs, make_address("2001:db8:ffff::1")));
    EXPECT_TRUE(InCidrs(cidrs, make_address("192.0.2.7")));
    EXPECT_FALSE(InCidrs(cidrs, make_address("192.0.2.8")));
    EXPECT_FALSE(InCidrs(cidrs, make_address("11.0.0.1")));
    EXPECT_FALSE(InCidrs({}, make_address("10.0.0.1")));
    EXPECT_THROW(ParseCidrList("10.0.0.0/33"), std::invalid_argument);
    EXPECT_THROW(ParseCidrList("10.0.0.0,"), std::invalid_argument);
}

TEST(ClusterSeal, OnlyTheSecretsHolderWritesAndReadsEachMessageOnceForItsReceiver) {
    const std::string secret(40, 's'), a = "0123456789abcdef", b = "fedcba9876543210";
    ClusterSeal sa(secret, a), sb(secret, b), sc(secret, "00000000000000cc"),
        stranger(std::string(40, 't'), a);
    std::string m1, m2, plain, from;
    sa.Seal(b, "head\n", "payload", m1);
    sa.Seal(b, "second\n", "", m2);
    EXPECT_EQ(m1.find("payload"), std::string::npos) << "a Redis reader sees no content";
    EXPECT_EQ(m1.size(), 12 + ClusterSeal::kOverhead);
    EXPECT_EQ(sc.Open(m1, plain, from), ClusterSeal::Opened::Forged) << "another receiver";
    std::string forged;
    stranger.Seal(b, "head\n", "payload", forged);
    EXPECT_EQ(sb.Open(forged, plain, from), ClusterSeal::Opened::Forged) << "another secret";
    std::string flipped = m1;
    flipped[20] ^= 1;
    EXPECT_EQ(sb.Open(flipped, plain, from), ClusterSeal::Opened::Forged);
    ASSERT_EQ(sb.Open(m1, plain, from), ClusterSeal::Opened::Ok);
    EXPECT_EQ(plain, "head\npayload");
    EXPECT_EQ(from, a);
    EXPECT_EQ(sb.Open(m1, plain, from), ClusterSeal::Opened::Replayed);
    ASSERT_EQ(sb.Open(m2, plain, from), ClusterSeal::Opened::Ok);
    EXPECT_EQ(sb.Open(m1, plain, from), ClusterSeal::Opened::Replayed) << "older than the last";
    EXPECT_EQ(sb.Open("", plain, from), ClusterSeal::Opened::Malformed);
    // Names: the same for every relay of the cluster, nothing of the value in them.
    EXPECT_EQ(sa.Name("host", "123456789"), sb.Name("host", "123456789"));
    EXPECT_NE(sa.Name("host", "123456789"), stranger.Name("host", "123456789"));
    EXPECT_NE(sa.Name("host", "123456789"), sa.Name("rate", "123456789"));
    EXPECT_EQ(sa.Name("rate", "10.0.0.1").find("10.0.0.1"), std::string::npos);

    const std::string path = ::testing::TempDir() + "kl-cluster-secret";
    std::ofstream(path) << std::string(64, 'k') << "\n";
    ::chmod(path.c_str(), 0644);
    EXPECT_THROW(ReadClusterSecret(path), std::invalid_argument) << "readable by others";
    ::chmod(path.c_str(), 0640);
    EXPECT_THROW(ReadClusterSecret(path), std::invalid_argument) << "readable by the group";
    ::chmod(path.c_str(), 0400);
    EXPECT_EQ(ReadClusterSecret(path), std::string(64, 'k'));
    std::remove(path.c_str());
    std::ofstream(path) << "short";
    ::chmod(path.c_str(), 0600);
    EXPECT_THROW(ReadClusterSecret(path), std::invalid_argument);
    std::remove(path.c_str());
}
