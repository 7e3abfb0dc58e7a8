#include "net/DnsChannel.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ares.h>
#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/net/DnsResponder.h"
#include "tests/net/SocketLog.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::TDnsResponder;
using test::TEventLog;
using TLogLines = std::vector<std::string>;
using TBehaviour = TDnsResponder::TBehaviour;

// Every lookup goes to a responder of the test's own and to a hosts file of its own.
class DnsLookupTest : public test::LoopTest {
protected:
  void SetUp() override {
    TEventLoop::Instance().Dns().Configure({Responder.Server(), 250, 1});
    test::LoopTest::SetUp();
    HostsFile = ::testing::TempDir() + "dns-lookup-hosts";
    std::ofstream(HostsFile) << "# the test's own\n10.9.8.7\tfromfile.test alias.test\n";
    ::setenv("CARES_HOSTS", HostsFile.c_str(), 1);
  }
  void TearDown() override {
    // Nothing may be left: no lookup, and no resolver socket once no lookup waits.
    EXPECT_TRUE(test::PumpUntil([] { return TEventLoop::Instance().WatchedDescriptors() == 0; }));
    EXPECT_EQ(TEventLoop::Instance().Dns().Pending(), 0u);
    TEventLoop::Instance().Dns().Configure({});
    ::unsetenv("CARES_HOSTS");
    std::remove(HostsFile.c_str());
    test::LoopTest::TearDown();
  }

  TDnsResponder Responder{{
      {"two.test", {{"10.0.0.1", "10.0.0.2"}, "", TBehaviour::bhAnswer}},
      {TDnsResponder::ReverseName("10.0.0.1"), {{}, "host.two.test", TBehaviour::bhAnswer}},
      {"silent.test", {{"10.0.0.3"}, "", TBehaviour::bhSilent}},
      {"tc.test", {{"10.0.0.4", "10.0.0.5"}, "", TBehaviour::bhTruncated}},
      {"cut.test", {{"10.0.0.6"}, "", TBehaviour::bhCutShort}},
      {"short.test", {{"10.0.0.7"}, "", TBehaviour::bhBadHeader}},
  }};
  std::string HostsFile;
};

TEST_F(DnsLookupTest, AnswersArriveOnALaterTurnWithEveryAddressFromTheHostsFileFirst) {
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  auto lookUp = [&](const std::string& name, bool reverse = false) {
    log.Lines.clear();
    reverse ? s.ReverseDnsLookup(name) : s.DnsLookup(name);
    EXPECT_TRUE(log.Lines.empty()) << name;  // never on the caller's stack
    EXPECT_TRUE(test::PumpUntil([&] { return !log.Lines.empty(); })) << name;
    return log.Lines;
  };

  EXPECT_EQ(lookUp("two.test"), TLogLines{"dns:0"});
  EXPECT_EQ(s.DnsResult(), "10.0.0.1");
  EXPECT_EQ(s.DnsResultList(), (TLogLines{"10.0.0.1", "10.0.0.2"}));

  int asked = Responder.Questions();
  EXPECT_EQ(lookUp("ALIAS.test"), TLogLines{"dns:0"});
  EXPECT_EQ(s.DnsResultList(), TLogLines{"10.9.8.7"});
  EXPECT_EQ(Responder.Questions(), asked);

  EXPECT_EQ(lookUp("missing.test"), TLogLines{"dns:11001"});
  EXPECT_EQ(s.DnsResult(), "");
  EXPECT_TRUE(s.DnsResultList().empty());
  EXPECT_EQ(lookUp(std::string("two.test\0x", 10)), TLogLines{"dns:11001"});

  EXPECT_EQ(lookUp("10.0.0.1", true), TLogLines{"dns:0"});
  EXPECT_EQ(s.DnsResult(), "host.two.test");
  EXPECT_EQ(s.DnsResultList(), TLogLines{"host.two.test"});
  EXPECT_EQ(lookUp("10.0.0.2", true), TLogLines{"dns:11001"});

  // The server that never answers: the loop's timer ends the lookup.
  EXPECT_EQ(lookUp("silent.test"), TLogLines{"dns:11002"});

  // A dotted address is answered before DnsLookup returns, normalised, with no list.
  log.Lines.clear();
  s.DnsLookup("0x7f.1");
  EXPECT_EQ(log.Lines, TLogLines{"dns:0"});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_TRUE(s.DnsResultList().empty());
}

// c-ares' allocator, failing while set: the resolver cannot then be made.
bool gFailAllocations = false;
void* MaybeMalloc(size_t n) { return gFailAllocations ? nullptr : std::malloc(n); }

// Invalid names, and a resolver that cannot be made (which is made again for a later lookup).
TEST_F(DnsLookupTest, InvalidNamesRaiseOrGive10022WithAnErrorHandler) {
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  try {
    s.DnsLookup("");
    ADD_FAILURE() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
  }
  EXPECT_THROW(s.ReverseDnsLookup(""), ESocketException);
  EXPECT_THROW(s.ReverseDnsLookup(std::string(257, '1')), ESocketException);
  EXPECT_TRUE(log.Lines.empty());

  s.OnError = [&](TObject*) { log.Lines.push_back("error"); };
  s.DnsLookup("");
  s.ReverseDnsLookup("not-an-address");
  EXPECT_EQ(log.Lines, (TLogLines{"error", "dns:10022", "error", "dns:10022"}));
  EXPECT_EQ(s.DnsLookupHandle(), 0u);

  ASSERT_EQ(ares_library_init_mem(ARES_LIB_INIT_ALL, MaybeMalloc, std::free, nullptr), ARES_SUCCESS);
  gFailAllocations = true;
  TEventLoop::Instance().Dns().Configure({Responder.Server(), 250, 1});
  s.DnsLookup("two.test");
  s.OnError = nullptr;
  EXPECT_EQ(test::ThrownText([&] { s.ReverseDnsLookup("10.0.0.1"); }),
            "10.0.0.1: can't start DNS lookup, error #10055");
  gFailAllocations = false;
  ares_library_cleanup();
  s.DnsLookup("two.test");
  EXPECT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 6; }));
  EXPECT_EQ(log.Lines, (TLogLines{"error", "dns:10022", "error", "dns:10022", "error", "dns:0"}));
}

TEST_F(DnsLookupTest, CancelledReplacedOrDestroyedLookupsNeverAnswerAgain) {
  TEventLog log;
  auto s = std::make_unique<TWSocket>(nullptr);
  log.Wire(*s);
  s->CancelDnsLookup();  // none pending: nothing
  s->DnsLookup("silent.test");
  s->Abort();
  EXPECT_EQ(log.Lines, TLogLines{"dns:10004"});

  // A new lookup takes the place of the pending one, without an event for it.
  s->DnsLookup("silent.test");
  s->DnsLookup("two.test");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 2; }));
  EXPECT_EQ(log.Lines.back(), "dns:0");

  s->DnsLookup("silent.test");
  s.reset();
  // Until the resolver gave up on every question (its sockets are closed then): nothing more.
  ASSERT_TRUE(test::PumpUntil([] { return TEventLoop::Instance().WatchedDescriptors() == 0; }));
  EXPECT_EQ(log.Lines.size(), 2u);
}

TEST_F(DnsLookupTest, TruncatedAndMalformedAnswersGiveExactResults) {
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  // Truncated over UDP: asked again over TCP, where the whole answer comes.
  s.DnsLookup("tc.test");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 1; }));
  EXPECT_EQ(log.Lines.back(), "dns:0");
  EXPECT_EQ(s.DnsResultList(), (TLogLines{"10.0.0.4", "10.0.0.5"}));
  EXPECT_GE(Responder.TcpQuestions(), 1);

  // A record cut off in the middle is an unusable answer.
  s.DnsLookup("cut.test");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 2; }));
  EXPECT_EQ(log.Lines.back(), "dns:11003");
  EXPECT_TRUE(s.DnsResultList().empty());

  // A reply too short for a header is no reply: the question times out.
  s.DnsLookup("short.test");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 3; }));
  EXPECT_EQ(log.Lines.back(), "dns:11002");
}

TEST_F(DnsLookupTest, AThousandLookupsInFlightEachGetTheirOwnAnswer) {
  constexpr int kCount = 1000;
  auto address = [](int i) { return "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
  std::map<std::string, TDnsResponder::TName> names;
  for (int i = 0; i < kCount; ++i) names["n" + std::to_string(i) + ".test"] = {{address(i)}, "", TBehaviour::bhAnswer};
  TDnsResponder many(names);
  // A few tries: a starved test thread may let a burst of answers overflow its socket.
  TEventLoop::Instance().Dns().Configure({many.Server(), 250, 3});
  std::vector<std::unique_ptr<TWSocket>> sockets;
  int answered = 0, right = 0;
  for (int i = 0; i < kCount; ++i) {
    sockets.push_back(std::make_unique<TWSocket>(nullptr));
    TWSocket& s = *sockets.back();
    s.OnDnsLookupDone = [&, i, p = &s](TObject*, uint16_t error) {
      ++answered;
      right += error == 0 && p->DnsResultList() == TLogLines{address(i)};
    };
    s.DnsLookup("n" + std::to_string(i) + ".test");
  }
  ASSERT_TRUE(test::PumpUntil([&] { return answered == kCount; }));
  EXPECT_EQ(right, kCount);
  sockets.clear();
  EXPECT_TRUE(test::PumpUntil([] { return TEventLoop::Instance().WatchedDescriptors() == 0; }));
}

}  // namespace
}  // namespace ordwin
