#include "relay/cluster_wire.hpp"

#include <gtest/gtest.h>

#include "relay/redis_client.hpp"

using namespace kl::relay;

namespace {
const std::string kNode = "0123456789abcdef";
}

TEST(ClusterWire, RoundTripsEveryKindWithBinaryPayloadsByteForByte) {
    wire::Message request;
    request.kind = wire::Kind::Request;
    request.from = kNode;
    request.epoch = kNode;
    request.conn = 42;
    request.sessionId = "123456789";
    request.password = std::string(100, 'p');
    request.address = "::1";
    auto back = wire::Decode(wire::Encode(request), 16);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sessionId, "123456789");
    EXPECT_EQ(back->password, request.password);
    EXPECT_EQ(back->conn, 42u);

    std::string payload = "\n\r\0\xff binary\n";
    payload.push_back('\0');
    wire::Message down;
    down.kind = wire::Kind::ToViewer;
    down.from = kNode;
    down.epoch = kNode;
    down.conn = 7;
    down.payload = payload;
    const std::string encoded = wire::Encode(down);
    back = wire::Decode(encoded, payload.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kind, wire::Kind::ToViewer);
    EXPECT_EQ(std::string(back->payload), payload);
    EXPECT_FALSE(wire::Decode(encoded, payload.size() - 1)) << "above the binary limit";

    wire::Message credit;
    credit.kind = wire::Kind::Credit;
    credit.from = kNode;
    credit.epoch = kNode;
    credit.conn = 9;
    credit.count = 1;
    credit.toHost = true;
    back = wire::Decode(wire::Encode(credit), 0);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->toHost);
}

TEST(ClusterWire, RefusesMalformedHeadersAndFields) {
    const std::string n = "\"n\":\"" + kNode + "\",\"e\":\"" + kNode + "\"";
    EXPECT_TRUE(wire::Decode("{\"k\":\"left\"," + n + ",\"c\":1}\n", 0));
    for (const std::string& bad : std::vector<std::string>{
             std::string(""), std::string("no newline"), std::string("[1,2]\n"),
             std::string("{}\n"),
             "{\"k\":\"up\"," + n + "}\n",                           // no connection
             "{\"k\":\"left\",\"n\":\"" + kNode + "\",\"c\":1}\n",   // no epoch
             std::string("{\"k\":\"up\",\"n\":\"ABC\",\"c\":1}\n"),  // bad node id
             "{\"k\":\"boom\"," + n + ",\"c\":1}\n",                 // unknown kind
             "{\"k\":\"up\"," + n + ",\"c\":-1}\n",                  // negative connection
             "{\"k\":\"left\"," + n + ",\"c\":1}\npayload",          // payload where none goes
             "{\"k\":\"text\"," + n + ",\"c\":1}\n",                 // no text
             "{\"k\":\"close\"," + n + ",\"c\":1,\"x\":5}\n",        // not a close code
             "{\"k\":\"credit\"," + n + ",\"c\":1,\"m\":1}\n",       // no direction
             "{\"k\":\"request\"," + n + ",\"c\":1,\"s\":\"012345678\",\"p\":\"" +
                 std::string(100, 'p') + "\",\"a\":\"x\"}\n",  // ID starting with 0
             std::string(5000, ' ') + "{}\n",                  // header too long
         })
        EXPECT_FALSE(wire::Decode(bad, 1 << 20)) << bad.substr(0, 80);
}

TEST(RedisUrl, ParsesHostPortDatabaseAndPasswordAndRefusesTheRest) {
    auto t = ParseRedisUrl("redis://127.0.0.1:6380/2");
    EXPECT_EQ(t.host, "127.0.0.1");
    EXPECT_EQ(t.port, 6380);
    EXPECT_EQ(t.db, 2);
    EXPECT_FALSE(t.tls);
    t = ParseRedisUrl("redis://relay@[::1]");
    EXPECT_EQ(t.host, "::1");
    EXPECT_EQ(t.port, 6379);
    EXPECT_EQ(t.user, "relay");
    EXPECT_EQ(t.password, "") << "the password comes only from --redis-password-file";
    t = ParseRedisUrl("rediss://kl@redis.example:6380/1");
    EXPECT_TRUE(t.tls);
    EXPECT_EQ(t.host, "redis.example") << "the name the certificate is checked against";
    EXPECT_EQ(t.port, 6380);
    EXPECT_EQ(t.db, 1);
    EXPECT_EQ(t.user, "kl");
    for (const char* bad :
         {"http://x", "redis://", "redis://h:0", "redis://h:99999", "redis://h:1/16", "redis://h:x",
          "redis://[::1", "rediss://", "redisss://h:1", "rediss:/h:1", "redis://@h"})
        EXPECT_THROW(ParseRedisUrl(bad), std::invalid_argument) << bad;
    // A password in the URL would sit in every local user's view of the command line.
    for (const char* withPassword : {"redis://:hunter2@h:1", "rediss://u:hunter2@h:1"}) {
        try {
            ParseRedisUrl(withPassword);
            ADD_FAILURE() << withPassword;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos) << e.what();
        }
    }
}
