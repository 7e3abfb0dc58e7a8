// The GG load generator: its clients, the one epoll set that holds their connections, and the
// phases it runs against a server in another process. Owns every client connection (closed
// abortively when a phase ends) and the report the phases fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchCommon.h"
#include "bench/ggload/GgLoadOptions.h"
#include "bench/ggload/GgLoadPackets.h"
#include "bench/ggload/GgLoadReport.h"

namespace ordwin::bench {

class TGgLoadGenerator {
public:
  explicit TGgLoadGenerator(const TGgLoadOptions& options);
  ~TGgLoadGenerator();
  TGgLoadGenerator(const TGgLoadGenerator&) = delete;
  TGgLoadGenerator& operator=(const TGgLoadGenerator&) = delete;

  // Every phase for every dialect, then the table on stdout.
  void Run();

private:
  enum class TConnState { csConnecting, csLoggingIn, csReady, csClosed };
  enum class TMode { mdLogin, mdPairs, mdFanout };

  struct TConn {
    int Fd = -1;
    int32_t Uin = 0;
    TMessageTexts Texts;  // of the messages this client sends
    int Partner = -1;
    TConnState State = TConnState::csClosed;
    int64_t OpenedAt = 0;
    std::string Tail;  // a packet not yet complete
    std::string Out;
    size_t OutSent = 0;
    bool Dirty = false;
    bool WatchingWrite = false;
    // This client's messages to its partner.
    uint32_t NextSend = 0;
    uint32_t NextAck = 0;
    std::vector<int64_t> SentAt;  // by sequence, sentMask_ + 1 entries
    // What this client receives: its partner's messages, or the fan-out sender's notifications.
    uint32_t NextRecv = 0;
    uint64_t Received = 0;
  };

  // ---- phases and their frame (GgLoadGenerator.cpp) ----
  void LoginPhase(int count);
  void PairsPhase(int count, int window);
  void FanoutPhase(int count, int window);
  // Sends through the warm-up and the measuring window that follows: start(now) fills the first
  // windows, each delivery refills one at the end of its turn. Only what arrives inside the window
  // counts and is timed.
  void SendAndMeasure(TGgLoadRow& r, double seconds, const std::function<void(int64_t)>& start);
  void WindowFigures(TGgLoadRow& r, double seconds);
  long ServerResidentKiB() const;
  void BeginPhase(TMode m);
  void EndPhase(TGgLoadRow& r);
  void Fault(const std::string& text);
  bool AwaitRelease();

  // ---- connections and the loop (GgLoadGenerator.cpp) ----
  void WaitForServer();
  void Open(size_t i);
  void CloseConn(TConn& c);
  void CloseAll();
  bool LogIn(int count);
  // Runs turns until done() holds (true), the deadline passes or the server is gone (false).
  bool PumpUntil(int64_t deadline, const std::function<bool()>& done);
  void PumpFor(int64_t ns);
  void Readable(size_t i, int64_t now);
  void MarkDirty(size_t i);
  void Flush();
  // Sends what client i queued; SendNow sends bytes of a client with nothing queued and queues
  // what the platform does not take. Both watch for room while something waits.
  void WriteOut(size_t i);
  void SendNow(size_t i, const char* p, size_t n);
  // The count of bytes sent before the platform had no more room; closes c where sending fails.
  size_t SendSome(TConn& c, const char* p, size_t n);
  void WatchWrite(size_t i, bool on);

  // ---- what the clients send and check (GgLoadTraffic.cpp) ----
  // The complete packets among the len bytes at p, handled in order; the count of bytes they
  // take. Client i may be closed on return.
  size_t Packets(size_t i, const char* p, size_t len, int64_t now);
  void Packet(size_t i, int32_t type, const char* p, size_t len, int64_t now);
  void Unexpected(const TConn& c, int32_t type, size_t len);
  void FillWindow(size_t i, int64_t now);  // from Flush only; may send
  void Ack(size_t i, const char* p, size_t len);
  void Misacknowledged(const TConn& c, const char* p, size_t len, int32_t named);
  void Message(size_t i, const char* p, size_t len, int64_t now);
  bool Stray(const TConn& c, TConn& s, const char* p, const char* text, uint32_t seq);
  void Malformed(const TConn& c, const char* p, size_t len);
  bool AllDelivered() const;
  void FillFanout(int64_t now);
  void Notification(TConn& c, const char* p, size_t len, int64_t now);

  TGgLoadOptions opt_;
  TGgLoadReport report_{opt_};
  int ep_ = -1;
  std::vector<char> readBuf_;
  std::vector<char> sendBuf_;  // a 6.0 client's messages of one turn, made in place
  std::vector<TConn> conns_;
  std::vector<size_t> dirty_;
  std::function<void()> afterTurn_;
  TMode mode_ = TMode::mdLogin;
  std::string dialect_ = "6.0";
  bool newer_ = false;
  int32_t uinBase_ = 0;
  int opened_ = 0, awaitingWelcome_ = 0, ready_ = 0;
  int baseFds_ = -1;
  long rssStartKiB_ = -1;
  // Messages and notifications: what counts and what is timed.
  bool sending_ = false;
  uint32_t window_ = 1;
  uint32_t sentMask_ = 0;  // the window rounded up to a power of two, less one
  int64_t measureFrom_ = 0, measureTo_ = 0;
  uint64_t windowCount_ = 0;
  TLatencies latencies_;
  uint32_t fanWindow_ = 1, fanNext_ = 0, fanDone_ = 0;
  std::vector<size_t> fanSeen_;
  std::vector<int64_t> fanSentAt_;
  uint64_t phaseFaults_ = 0;
  std::vector<std::string> faultTexts_;
};

}  // namespace ordwin::bench
