// How long the GG listener waits before it takes a connection for gone: the keep-alive timings
// and the user timeout it sets on every connection, the quick check of a number's older
// connections when the number logs in again, and the limits on silence before and after login.
// The listener holds one TGgLimits (its Limits): these values, unless a test lowers them.
#pragma once

#include <time.h>

#include <chrono>

namespace ordwin {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A client that vanishes (a laptop that sleeps, a Wi-Fi drop, a pulled cable) sends no close,
// so the others would see it available for good: keep-alive finds it when nothing is sent to it,
// the user timeout when what is sent goes unacknowledged. Either way its connection ends about
// 70 s after the client was last heard from, and the others are told within 2 minutes.
// Probes start after a minute of silence: the clients that ping (every 30 s) never draw one.
constexpr seconds kKeepAliveIdle{60};
// Probes 10 s apart, three of them: a live client on a poor link has time to answer one.
constexpr seconds kKeepAliveInterval{10};
constexpr int kKeepAliveProbes = 3;
// Past this, data or a probe the client has not acknowledged ends the connection (the
// platform's own limit is 15 minutes). A minute rides out a Wi-Fi reconnect.
constexpr milliseconds kUserTimeout{60000};

// A login with a number that other connections hold checks them at once: a probe a second,
// the connection ending when three go unanswered, so that a client that reconnects after it
// vanished finds its old connection gone within about 5 s. After kCheckTime the check ends
// and a connection that answered goes back to the timings above.
constexpr seconds kCheckInterval{1};
constexpr int kCheckProbes = 3;
constexpr milliseconds kCheckTime{5000};

// A connection must log in this soon after it is accepted: a GG client sends its login as
// soon as it has the welcome, and what connects and stays silent holds memory for nothing.
constexpr milliseconds kLoginLimit{30000};
// A logged-in client silent this long (not even a ping) is closed. Finch and Pidgin ping every
// 30 s; a program on libgadu pings as its application asks (the library's advice is every
// minute) and sends nothing by itself. Five minutes is five missed pings of the slowest.
constexpr milliseconds kIdleLimit{300000};

// How often the listener looks for connections past a limit and for checks that are over.
constexpr milliseconds kSweepPeriod{1000};

// A client heard from this recently is taken as there without asking the platform: before its
// shortest retransmission timeout (200 ms) the platform cannot know of a loss either, and a
// conversation is spared a system call per message.
constexpr milliseconds kRecentlyHeard{200};

struct TGgLimits {
  seconds KeepAliveIdle = kKeepAliveIdle;
  seconds KeepAliveInterval = kKeepAliveInterval;
  int KeepAliveProbes = kKeepAliveProbes;
  milliseconds UserTimeout = kUserTimeout;
  seconds CheckInterval = kCheckInterval;
  int CheckProbes = kCheckProbes;
  milliseconds CheckTime = kCheckTime;
  milliseconds LoginLimit = kLoginLimit;
  milliseconds IdleLimit = kIdleLimit;
  milliseconds SweepPeriod = kSweepPeriod;
};

// The clock of these limits: monotonic, to a few milliseconds, read without a system call for
// every chunk a client sends.
struct TGgClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<TGgClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return time_point(seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
  }
};
using TGgTime = TGgClock::time_point;

}  // namespace ordwin
