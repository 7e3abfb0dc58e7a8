// TDnsChannel: the loop's name resolver, on c-ares. Its sockets sit in the loop's own epoll set
// and its timeouts on the loop's timers: no thread, no blocking call. Each answer is posted as a
// notification to the endpoint that asked, so it always arrives on a later turn. Owned by the
// loop (TEventLoop::Dns()); made on first use.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <netinet/in.h>

#include "net/EventLoop.h"
#include "net/NotificationEndpoint.h"

struct ares_channeldata;
struct ares_addrinfo;
struct hostent;

namespace ordwin {

class TDnsChannel final : private INotificationTarget {
public:
  // Where lookups go. Empty servers: the system's resolver settings (/etc/resolv.conf); given
  // servers ("127.0.0.1:5353,...") are asked with no search domains. 0 keeps the timeout per
  // try and the number of tries of the system settings.
  struct TConfig {
    std::string Servers;
    int TimeoutMs = 0;
    int Tries = 0;
  };

  // A resolver that cannot be made (the library or the channel fails to start, for want of
  // memory) leaves the channel without one: lookups then start none, and each one asked for
  // tries to make it again.
  explicit TDnsChannel(TEventLoop& loop);
  // Ends every lookup without posting anything.
  ~TDnsChannel();
  TDnsChannel(const TDnsChannel&) = delete;
  TDnsChannel& operator=(const TDnsChannel&) = delete;

  // Later lookups use config; the lookups still pending end with error 10004. Servers the
  // resolver cannot read throw std::invalid_argument and keep the settings as they were; a
  // resolver that cannot be made is no error here (see the constructor).
  void Configure(const TConfig& config);

  // Looks name up: the hosts file first ($CARES_HOSTS when set, else /etc/hosts), then DNS, for
  // IPv4 addresses. When it ends, msg is posted to reply with the lookup's id as the first
  // argument and the error (Windows Sockets numbering, 0 for an answer) in the high 16 bits of
  // the second. Returns the id, never reused; 0 when the resolver cannot be made (OpenError
  // tells why), and then nothing is posted.
  uint32_t LookUpName(const std::string& name, TEndpointId reply, uint32_t msg);
  // The same for the host name of an IPv4 address (network order).
  uint32_t LookUpAddress(uint32_t address, TEndpointId reply, uint32_t msg);
  // Forgets lookup id: nothing more is posted for it and its answer is dropped.
  void Cancel(uint32_t id) { lookups_.erase(id); }
  // The answer of a lookup that ended (dotted addresses in the order of the answer, or the one
  // host name), handed over once; the lookup is then forgotten.
  std::vector<std::string> TakeAnswer(uint32_t id);

  // Lookups asked for and not yet handed over or cancelled.
  size_t Pending() const { return lookups_.size(); }
  // Why the resolver could not be made the last time it was tried (Windows Sockets numbering),
  // or 0.
  int OpenError() const { return openError_; }

  // The Windows Sockets code for a c-ares status.
  static int ErrorFromStatus(int status);

private:
  struct TLookup {
    TEndpointId Reply;
    uint32_t Msg = 0;
    bool Ended = false;
    std::vector<std::string> Answer;
  };

  void HandleMessage(TMessage& msg) override;
  // Makes the channel of config_; when the resolver refuses, channel_ stays null and openError_
  // says why. Servers it cannot read throw std::invalid_argument.
  void Open();
  // Whether there is a channel, making it when there is none.
  bool Ready();
  void Close();
  uint32_t Start(TEndpointId reply, uint32_t msg);
  // Records the end of a lookup and posts its notification (unless it was cancelled).
  void End(uint32_t id, int status, std::vector<std::string> answer);
  void ArmTimer();
  // Reads the answers waiting on the resolver's sockets now. Done every few lookups started,
  // so that the answers to the first of a long run started in one go do not overflow a socket
  // before the loop turns again.
  void DrainAnswers();
  static void OnSocketState(void* data, int fd, int readable, int writable);
  static void OnAddresses(void* arg, int status, int timeouts, ::ares_addrinfo* result);
  static void OnHost(void* arg, int status, int timeouts, ::hostent* host);

  TEventLoop& loop_;
  TNotificationEndpoint endpoint_;
  TConfig config_;
  ares_channeldata* channel_ = nullptr;
  bool libraryReady_ = false;
  int openError_ = 0;
  std::unordered_map<uint32_t, TLookup> lookups_;
  uint32_t nextId_ = 1;
  uint64_t timer_ = 0;
  bool closing_ = false;      // ending every lookup: nothing is posted
  std::vector<int> sockets_;  // the resolver's sockets, as it reports them
  unsigned started_ = 0;
};

}  // namespace ordwin
