#include "net/WSocketResolve.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "net/Exception.h"
#include "tests/net/IsolatedNameService.h"

namespace ordwin {
namespace {

// The message of the ESocketException that call raises, or "(no exception)".
std::string FailureText(const std::function<void()>& call) {
  try {
    call();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "(no exception)";
}

std::string HostFailure(const std::string& inAddr) {
  return FailureText([&] { WSocketResolveHost(inAddr); });
}

std::string PortFailure(const std::string& port, const std::string& proto) {
  return FailureText([&] { WSocketResolvePort(port, proto); });
}

std::string ProtoFailure(const std::string& proto) {
  return FailureText([&] { WSocketResolveProto(proto); });
}

// Runs body against a hosts file and a DNS server of the test's own (localhost, fromfile.test
// in the file; dns.test from the server; every other name not found).
std::optional<std::vector<std::string>> WithOwnNames(const std::function<std::vector<std::string>()>& body) {
  return test::InIsolatedNameService("127.0.0.1\tlocalhost\n10.1.2.3\tfromfile.test\n",
                                     {{"dns.test", {{"10.4.5.6"}, "", test::TDnsResponder::TBehaviour::bhAnswer}}},
                                     body);
}

std::string HostOrder(uint32_t networkOrder) { return std::to_string(ntohl(networkOrder)); }

TEST(WSocketResolveIsDottedIP, AcceptsFourGroupsWithSurroundingSpaces) {
  EXPECT_TRUE(WSocketIsDottedIP("127.0.0.1"));
  EXPECT_TRUE(WSocketIsDottedIP("  10.0.0.1  "));
  EXPECT_TRUE(WSocketIsDottedIP("0001.2.3.4"));
  EXPECT_TRUE(WSocketIsDottedIP("255.255.255.255"));
  EXPECT_TRUE(WSocketIsDottedIP("0.0.0.0"));
}

TEST(WSocketResolveIsDottedIP, RejectsWrongShapes) {
  EXPECT_FALSE(WSocketIsDottedIP(""));
  EXPECT_FALSE(WSocketIsDottedIP("   "));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4.5"));
  EXPECT_FALSE(WSocketIsDottedIP("1..2.3"));
  EXPECT_FALSE(WSocketIsDottedIP(".1.2.3"));
  EXPECT_FALSE(WSocketIsDottedIP("  .1.2.3.4"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3."));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4a"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4 5"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4\t"));
  EXPECT_FALSE(WSocketIsDottedIP("localhost"));
}

TEST(WSocketResolveIsDottedIP, RejectsGroupsAbove255HoweverLong) {
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.256"));
  EXPECT_FALSE(WSocketIsDottedIP("256.1.2.3"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.999"));
  // 2^32 + 1: a reader that wraps in 32 bits would see a group of 1.
  EXPECT_FALSE(WSocketIsDottedIP("4294967297.0.0.1"));
  EXPECT_FALSE(WSocketIsDottedIP("1.0.0.4294967297"));
}

TEST(WSocketResolveAtoi, ReadsLeadingDigitsOnly) {
  EXPECT_EQ(WSocketAtoi("80abc"), 80);
  EXPECT_EQ(WSocketAtoi("   42"), 42);
  EXPECT_EQ(WSocketAtoi("007"), 7);
  EXPECT_EQ(WSocketAtoi("12 34"), 12);
  EXPECT_EQ(WSocketAtoi("2147483647"), INT_MAX);
  EXPECT_EQ(WSocketAtoi(""), 0);
  EXPECT_EQ(WSocketAtoi("abc"), 0);
  EXPECT_EQ(WSocketAtoi("-5"), 0);
  EXPECT_EQ(WSocketAtoi("+5"), 0);
  EXPECT_EQ(WSocketAtoi("\t5"), 0);
}

TEST(WSocketResolveHost, DottedAddressesGiveNetworkOrder) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(0x7F000001u));
  EXPECT_EQ(WSocketResolveHost(" 10.0.0.1 "), htonl(0x0A000001u));
  EXPECT_EQ(WSocketResolveHost("192.168.1.20"), htonl(0xC0A80114u));
  EXPECT_EQ(WSocketResolveHost("0.0.0.0"), 0u);
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
}

TEST(WSocketResolveHost, DottedTextThePlatformRefusesIsAnInvalidAddress) {
  // A leading zero makes a group octal, where 9 is no digit.
  EXPECT_EQ(HostFailure("09.1.1.1"), "WSocketResolveHost: '09.1.1.1' Invalid IP address.");
}

TEST(WSocketResolveHost, LocalhostResolvesThroughTheHostDatabase) {
  auto got = WithOwnNames([] {
    return std::vector<std::string>{
        HostOrder(WSocketResolveHost("localhost")), HostOrder(WSocketResolveHost("  localhost  ")),
        HostOrder(WSocketResolveHost("fromfile.test")), HostOrder(WSocketResolveHost("dns.test"))};
  });
  if (!got) GTEST_SKIP() << "no namespaces here for a name service of the test's own";
  EXPECT_EQ(*got, (std::vector<std::string>{HostOrder(htonl(0x7F000001u)), HostOrder(htonl(0x7F000001u)),
                                            HostOrder(htonl(0x0A010203u)), HostOrder(htonl(0x0A040506u))}));
}

TEST(WSocketResolveHost, GroupAbove255TakesTheNamePathAndFails) {
  auto got = WithOwnNames([] { return std::vector<std::string>{HostFailure("1.2.3.999")}; });
  if (!got) GTEST_SKIP() << "no namespaces here for a name service of the test's own";
  EXPECT_EQ(*got,
            std::vector<std::string>{"WSocketResolveHost: Cannot convert host address '1.2.3.999', Error #11001"});
}

TEST(WSocketResolveHost, UnknownNameFailsWithNameServiceCode) {
  auto got = WithOwnNames([] { return std::vector<std::string>{HostFailure("no-such-host.invalid")}; });
  if (!got) GTEST_SKIP() << "no namespaces here for a name service of the test's own";
  EXPECT_EQ(*got, std::vector<std::string>{
                      "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #11001"});
}

TEST(WSocketResolveHost, NameWithNulByteDoesNotResolveAsItsPrefix) {
  const std::string name("localhost\0evil", 14);
  EXPECT_EQ(HostFailure(name), "WSocketResolveHost: Cannot convert host address '" + name + "', Error #11001");
}

TEST(WSocketResolveHost, EmptyOrOverlongTextIsAnInvalidHostname) {
  EXPECT_EQ(HostFailure(""), "WSocketResolveHost: '' Invalid Hostname.");
  const std::string tooLong(257, 'a');
  EXPECT_EQ(HostFailure(tooLong), "WSocketResolveHost: '" + tooLong + "' Invalid Hostname.");
  // 256 characters are still looked up; such a name cannot exist.
  const std::string longest(256, 'a');
  auto got = WithOwnNames([&] { return std::vector<std::string>{HostFailure(longest)}; });
  if (!got) GTEST_SKIP() << "no namespaces here for a name service of the test's own";
  EXPECT_EQ(*got, std::vector<std::string>{"WSocketResolveHost: Cannot convert host address '" + longest +
                                           "', Error #11001"});
}

TEST(WSocketResolvePort, NumbersAreReadWithoutLookup) {
  EXPECT_EQ(WSocketResolvePort("8074", "tcp"), 8074);
  EXPECT_EQ(WSocketResolvePort("80abc", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("0", "tcp"), 0);
  EXPECT_EQ(WSocketResolvePort("65535", "udp"), 65535);
  // A number never consults the protocol, even one that does not exist.
  EXPECT_EQ(WSocketResolvePort("8074", "nosuchproto"), 8074);
}

TEST(WSocketResolvePort, NumberAbovePortRangeIsInvalid) {
  EXPECT_EQ(PortFailure("65536", "tcp"), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(PortFailure("99999", "tcp"), "WSocketResolvePort: Invalid Port.");
  // 2^32 + 80: must not wrap around to port 80.
  EXPECT_EQ(PortFailure("4294967376", "tcp"), "WSocketResolvePort: Invalid Port.");
}

TEST(WSocketResolvePort, ServiceNamesComeFromTheServiceDatabase) {
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort(" http ", " tcp "), 80);
  EXPECT_EQ(WSocketResolvePort("www", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("http", "  "), 80);
}

TEST(WSocketResolvePort, UnknownServiceReportsNoData) {
  EXPECT_EQ(PortFailure("no-such-service", "tcp"),
            "WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
  EXPECT_EQ(PortFailure("http", "nosuchproto"), "WSocketResolvePort: Cannot convert port 'http', Error #11004");
  const std::string port(" http\0x", 7);
  EXPECT_EQ(PortFailure(port, "tcp"), "WSocketResolvePort: Cannot convert port '" + port + "', Error #11004");
}

TEST(WSocketResolvePort, EmptyOrOverlongTextsAreInvalid) {
  EXPECT_EQ(PortFailure("", "tcp"), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(PortFailure(std::string(32, '1'), "tcp"), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(PortFailure("80", ""), "WSocketResolvePort: Invalid Proto.");
  EXPECT_EQ(PortFailure("80", std::string(32, 't')), "WSocketResolvePort: Invalid Proto.");
  // The port is checked first.
  EXPECT_EQ(PortFailure("", ""), "WSocketResolvePort: Invalid Port.");
  // 31 characters are still read.
  EXPECT_EQ(WSocketResolvePort("80" + std::string(29, 'x'), std::string(31, ' ')), 80);
}

TEST(WSocketResolveProto, NamesComeFromTheProtocolDatabase) {
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto("  icmp "), 1);
}

TEST(WSocketResolveProto, NumbersAreReadAfterTrimming) {
  EXPECT_EQ(WSocketResolveProto("6"), 6);
  EXPECT_EQ(WSocketResolveProto(" 17 "), 17);
  EXPECT_EQ(WSocketResolveProto("17x"), 17);
}

TEST(WSocketResolveProto, UnknownOrInvalidProtocolFails) {
  EXPECT_EQ(ProtoFailure("nosuchproto"), "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
  EXPECT_EQ(ProtoFailure(" nosuchproto "), "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
  EXPECT_EQ(ProtoFailure("   "), "WSocketResolveProto: Cannot convert protocol '', Error #11004");
  EXPECT_EQ(ProtoFailure(""), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(ProtoFailure(std::string(32, 't')), "WSocketResolveProto: Invalid Protocol.");
}

}  // namespace
}  // namespace ordwin
