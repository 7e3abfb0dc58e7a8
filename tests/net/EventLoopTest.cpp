#include "net/EventLoop.h"

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/NotificationEndpoint.h"
#include "net/SelectEvents.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

struct TRecorder : INotificationTarget {
  std::string Name;
  std::vector<std::string>* Log;
  std::function<void(TMessage&)> Extra;
  TRecorder(std::string name, std::vector<std::string>* log) : Name(std::move(name)), Log(log) {}
  void HandleMessage(TMessage& m) override {
    Log->push_back(Name + ":" + std::to_string(m.Msg) + ":" + std::to_string(m.WParam));
    if (Extra) Extra(m);
  }
};

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

using EventLoopTest = test::LoopTest;

TEST_F(EventLoopTest, DeliversInPostingOrderAndPostsMadeWhileDeliveringOnTheNextTurn) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log), b("b", &log);
  TNotificationEndpoint ea(&a), eb(&b);
  a.Extra = [&](TMessage& m) {
    if (m.WParam == 1) eb.Post(2000, 9, 0);
  };
  ea.Post(2000, 1, 0);
  eb.Post(2000, 2, 0);
  ea.Post(2000, 3, 0);
  EXPECT_EQ(loop.BackendTimeout(), 0);
  loop.ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"a:2000:1", "b:2000:2", "a:2000:3"}));
  loop.ProcessMessages();
  EXPECT_EQ(log.back(), "b:2000:9");
  EXPECT_EQ(loop.BackendTimeout(), -1);
}

TEST_F(EventLoopTest, ATurnEndsWithItsSendsThenItsFinishAndOutsideATurnTheNextTurnDoes) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log), b("b", &log);
  TNotificationEndpoint ea(&a), eb(&b);
  a.Extra = [&](TMessage& m) {
    if (m.WParam == 1) {
      eb.AtTurnEnd(tpFinish, 2002);  // asked first, runs after every send
      ea.AtTurnEnd(tpSend, 2001);
    }
  };
  b.Extra = [&](TMessage& m) {
    if (m.Msg == 2002) {
      ea.AtTurnEnd(tpSend, 2003);  // a finish that gives the send phase work runs it again
      ea.Post(2000, 9, 0);         // a plain post goes to the next turn
    }
  };
  ea.Post(2000, 1, 0);
  eb.Post(2000, 2, 0);
  loop.ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"a:2000:1", "b:2000:2", "a:2001:0", "b:2002:0", "a:2003:0"}));
  loop.ProcessMessages();
  EXPECT_EQ(log.back(), "a:2000:9");

  log.clear();
  eb.AtTurnEnd(tpFinish, 2004);  // outside a turn: the next turn's, and the loop has work
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(loop.BackendTimeout(), 0);
  EXPECT_TRUE(Readable(loop.BackendFd()));
  EXPECT_TRUE(loop.ProcessMessages());
  EXPECT_EQ(log, (std::vector<std::string>{"b:2004:0"}));
}

TEST_F(EventLoopTest, DestroyedEndpointLosesWhatWasQueuedAndItsSlotIsNotConfused) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log), b("b", &log);
  auto ea = std::make_unique<TNotificationEndpoint>(&a);
  ea->Post(2000, 1, 0);
  ea.reset();
  // The new endpoint may take the freed slot; the old entry must still not reach it.
  TNotificationEndpoint eb(&b);
  eb.Post(2000, 2, 0);
  test::PumpTurns(2);
  EXPECT_EQ(log, (std::vector<std::string>{"b:2000:2"}));
  EXPECT_EQ(loop.PendingPosts(), 0u);
}

TEST_F(EventLoopTest, BackendDescriptorWakesAnEmbeddingPollerOnlyWhenThereIsWork) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log);
  TNotificationEndpoint ea(&a);
  EXPECT_FALSE(Readable(loop.BackendFd()));
  ea.Post(2000, 1, 0);
  EXPECT_TRUE(Readable(loop.BackendFd()));
  loop.ProcessMessages();
  EXPECT_EQ(log.size(), 1u);
  EXPECT_FALSE(Readable(loop.BackendFd()));
}

TEST_F(EventLoopTest, TimersFireOnceInTheOrderTheyAreDueAndKilledOnesNever) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log);
  TNotificationEndpoint ea(&a);
  uint64_t late = loop.SetTimer(ea.Id(), 3000, 40);
  uint64_t early = loop.SetTimer(ea.Id(), 3000, 1);
  uint64_t killed = loop.SetTimer(ea.Id(), 3000, 20);
  loop.KillTimer(killed);
  EXPECT_GT(loop.BackendTimeout(), 0);  // nothing to do until the first is due
  ASSERT_TRUE(test::PumpUntil([&] { return log.size() == 2; }));
  EXPECT_EQ(log, (std::vector<std::string>{"a:3000:" + std::to_string(early), "a:3000:" + std::to_string(late)}));
  EXPECT_EQ(loop.BackendTimeout(), -1);
  loop.KillTimer(late);  // fired already: nothing
  // Run waits for a timer as for any other work.
  a.Extra = [&](TMessage&) { loop.Terminate(); };
  loop.SetTimer(ea.Id(), 3001, 1);
  loop.Run();
  EXPECT_EQ(log.back().rfind("a:3001:", 0), 0u);
}

TEST_F(EventLoopTest, RunReturnsAfterTerminate) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log);
  TNotificationEndpoint ea(&a);
  a.Extra = [&](TMessage& m) {
    if (m.WParam < 3)
      ea.Post(2000, m.WParam + 1, 0);
    else
      loop.Terminate();
  };
  ea.Post(2000, 1, 0);
  loop.Run();
  EXPECT_EQ(log, (std::vector<std::string>{"a:2000:1", "a:2000:2", "a:2000:3"}));
}

TEST_F(EventLoopTest, WatchedPipeReportsReadWhileReadableAndNothingAfterUnwatching) {
  TEventLoop& loop = TEventLoop::Instance();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  TDescriptor r(fds[0]), w(fds[1]);
  std::vector<std::string> log;
  TRecorder a("a", &log);
  TNotificationEndpoint ea(&a);
  ASSERT_EQ(loop.AsyncSelect(r.Get(), ea.Id(), FD_READ), 0);
  test::PumpTurns(3);
  EXPECT_TRUE(log.empty());
  ASSERT_EQ(::write(w.Get(), "x", 1), 1);
  test::PumpTurns(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "a:1025:" + std::to_string(r.Get()));
  // Level-triggered: unread bytes are reported again.
  test::PumpTurns(1);
  EXPECT_EQ(log.size(), 2u);
  loop.AsyncSelect(r.Get(), ea.Id(), 0);
  test::PumpTurns(3);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(loop.WatchedDescriptors(), 0);
}

TEST_F(EventLoopTest, PipeWriteEndReportsWriteOnceAfterWatchWriteWhenItHasRoomOrItsReaderIsGone) {
  TEventLoop& loop = TEventLoop::Instance();
  std::vector<std::string> log;
  TRecorder a("a", &log);
  TNotificationEndpoint ea(&a);
  std::vector<uint32_t> events;
  a.Extra = [&](TMessage& m) { events.push_back(SelectEvent(m.LParam)); };
  auto fill = [](int fd) {
    std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
  };
  for (bool readerGoes : {false, true}) {
    SCOPED_TRACE(readerGoes ? "reader gone" : "reader drains");
    log.clear();
    events.clear();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    TDescriptor r(fds[0]), w(fds[1]);
    ASSERT_EQ(loop.AsyncSelect(w.Get(), ea.Id(), FD_WRITE), 0);
    // Room alone reports nothing: write is reported only after a write found none.
    test::PumpTurns(3);
    EXPECT_TRUE(log.empty());
    fill(w.Get());
    loop.WatchWrite(w.Get());
    test::PumpTurns(3);
    EXPECT_TRUE(log.empty());

    if (readerGoes) {
      // The pipe stays full and no write can ever succeed: the write that would fail must be
      // offered once, not left to spin the loop on the error.
      r.Close();
    } else {
      char buffer[65536];
      while (::read(r.Get(), buffer, sizeof(buffer)) > 0) {
      }
    }
    ASSERT_TRUE(test::PumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ(log, (std::vector<std::string>{"a:1025:" + std::to_string(w.Get())}));
    EXPECT_EQ(events, (std::vector<uint32_t>{FD_WRITE}));
    // Once per WatchWrite: neither room nor the error is reported again, and no turn has work.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(loop.ProcessMessages());
    EXPECT_FALSE(Readable(loop.BackendFd()));
    EXPECT_EQ(log.size(), 1u);
    loop.AsyncSelect(w.Get(), ea.Id(), 0);
  }
  EXPECT_EQ(loop.WatchedDescriptors(), 0);
}

// A wait that fails for any reason but a signal must say so: a readiness set that is no longer
// one would otherwise look like "nothing ready" on every turn, and the loop would spin silently.
TEST(PollerTest, AWaitThatFailsRaisesInsteadOfReportingNothingReady) {
  TPoller poller;
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  ASSERT_GE(::dup2(pipeFds[0], poller.Fd()), 0);  // the set's descriptor is now a pipe
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  std::vector<epoll_event> ready;
  EXPECT_THROW(poller.Wait(0, ready), std::system_error);
}

}  // namespace
}  // namespace ordwin
