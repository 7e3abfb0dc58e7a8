#include "net/DnsChannel.h"

#include <ares.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>

#include <algorithm>
#include <stdexcept>

#include "net/SelectEvents.h"
#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

constexpr uint32_t WM_DNS_TIMEOUT = 2100;  // the loop's timer for c-ares' next timeout
// Lookups started between reads of the answers already there: a socket's receive buffer holds
// a few hundred answers.
constexpr unsigned kDrainEvery = 32;
constexpr int kReceiveBuffer = 1 << 20;

// What c-ares holds for one lookup until its callback runs (also when it is cancelled).
struct TRequest {
  TDnsChannel* Channel;
  uint32_t Id;
};

int CloseOnExec(ares_socket_t fd, int, void*) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0 ? -1 : 0; }

}  // namespace

int TDnsChannel::ErrorFromStatus(int status) {
  switch (status) {
    case ARES_SUCCESS:
      return 0;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
      return WSAHOST_NOT_FOUND;
    case ARES_ENODATA:
      return WSANO_DATA;
    case ARES_ETIMEOUT:
    case ARES_ESERVFAIL:
    case ARES_ECONNREFUSED:
      return WSATRY_AGAIN;
    case ARES_ENOMEM:
      return WSAENOBUFS;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
      return WSAEINTR;
    default:
      return WSANO_RECOVERY;  // a malformed, refused or unusable answer
  }
}

TDnsChannel::TDnsChannel(TEventLoop& loop) : loop_(loop), endpoint_(this, loop) {
  int rc = ares_library_init(ARES_LIB_INIT_ALL);
  libraryReady_ = rc == ARES_SUCCESS;
  if (!libraryReady_) {
    openError_ = ErrorFromStatus(rc);
    return;
  }
  Open();
}

TDnsChannel::~TDnsChannel() {
  closing_ = true;
  Close();
  if (libraryReady_) ares_library_cleanup();
}

bool TDnsChannel::Ready() {
  if (channel_ == nullptr && libraryReady_) Open();
  return channel_ != nullptr;
}

void TDnsChannel::Open() {
  ares_options opts{};
  int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_SOCK_RCVBUF;
  // Room for the answers to a thousand lookups at once while the loop is busy elsewhere (the
  // platform caps it at net.core.rmem_max): every answer lost costs a whole timeout.
  opts.socket_receive_buffer_size = kReceiveBuffer;
  opts.sock_state_cb = &TDnsChannel::OnSocketState;
  opts.sock_state_cb_data = this;
  if (config_.TimeoutMs > 0) {
    opts.timeout = config_.TimeoutMs;
    mask |= ARES_OPT_TIMEOUTMS;
  }
  if (config_.Tries > 0) {
    opts.tries = config_.Tries;
    mask |= ARES_OPT_TRIES;
  }
  char lookups[] = "fb";
  if (!config_.Servers.empty()) {
    // Only what is given: no search domains, hosts file then DNS, whatever this machine says.
    opts.flags = ARES_FLAG_NOSEARCH;
    opts.ndomains = 0;
    opts.domains = nullptr;
    opts.lookups = lookups;
    mask |= ARES_OPT_FLAGS | ARES_OPT_DOMAINS | ARES_OPT_LOOKUPS;
  }
  if (int rc = ares_init_options(&channel_, &opts, mask); rc != ARES_SUCCESS) {
    channel_ = nullptr;
    openError_ = ErrorFromStatus(rc);
    return;
  }
  openError_ = 0;
  ares_set_socket_configure_callback(channel_, &CloseOnExec, nullptr);
  if (!config_.Servers.empty()) {
    if (int rc = ares_set_servers_ports_csv(channel_, config_.Servers.c_str()); rc != ARES_SUCCESS) {
      Close();
      throw std::invalid_argument("DNS servers '" + config_.Servers + "': " + ares_strerror(rc));
    }
  }
}

void TDnsChannel::Close() {
  if (channel_ == nullptr) return;
  // Runs every callback still waiting, with ARES_EDESTRUCTION.
  ares_destroy(channel_);
  channel_ = nullptr;
  if (timer_ != 0) loop_.KillTimer(timer_);
  timer_ = 0;
}

void TDnsChannel::Configure(const TConfig& config) {
  TConfig old = config_;
  Close();
  config_ = config;
  try {
    Open();
  } catch (const std::exception&) {
    config_ = old;
    Open();
    throw;
  }
}

uint32_t TDnsChannel::Start(TEndpointId reply, uint32_t msg) {
  if (++started_ % kDrainEvery == 0) DrainAnswers();
  uint32_t id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;
  lookups_[id] = TLookup{reply, msg, false, {}};
  return id;
}

uint32_t TDnsChannel::LookUpName(const std::string& name, TEndpointId reply, uint32_t msg) {
  if (!Ready()) return 0;
  uint32_t id = Start(reply, msg);
  // The resolver reads C strings: a name holding a NUL byte must not resolve as its prefix.
  if (name.find('\0') != std::string::npos) {
    End(id, ARES_ENOTFOUND, {});
    return id;
  }
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = ARES_AI_NOSORT | ARES_AI_ENVHOSTS;
  ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, &TDnsChannel::OnAddresses, new TRequest{this, id});
  ArmTimer();
  return id;
}

uint32_t TDnsChannel::LookUpAddress(uint32_t address, TEndpointId reply, uint32_t msg) {
  if (!Ready()) return 0;
  uint32_t id = Start(reply, msg);
  in_addr a{};
  a.s_addr = address;
  ares_gethostbyaddr(channel_, &a, sizeof(a), AF_INET, &TDnsChannel::OnHost, new TRequest{this, id});
  ArmTimer();
  return id;
}

std::vector<std::string> TDnsChannel::TakeAnswer(uint32_t id) {
  auto it = lookups_.find(id);
  if (it == lookups_.end() || !it->second.Ended) return {};
  std::vector<std::string> answer = std::move(it->second.Answer);
  lookups_.erase(it);
  return answer;
}

void TDnsChannel::End(uint32_t id, int status, std::vector<std::string> answer) {
  auto it = lookups_.find(id);
  if (it == lookups_.end() || it->second.Ended) return;  // cancelled meanwhile
  if (closing_) {
    lookups_.erase(it);
    return;
  }
  TLookup& l = it->second;
  l.Ended = true;
  l.Answer = std::move(answer);
  // Posted, also for an answer found at once: the asker hears of it on a later turn.
  loop_.Post(l.Reply, l.Msg, static_cast<intptr_t>(id),
             MakeSelectArg(0, static_cast<uint32_t>(ErrorFromStatus(status))));
}

void TDnsChannel::OnAddresses(void* arg, int status, int, ares_addrinfo* result) {
  TRequest req = *static_cast<TRequest*>(arg);
  delete static_cast<TRequest*>(arg);
  std::vector<std::string> answer;
  if (status == ARES_SUCCESS && result != nullptr) {
    for (const ares_addrinfo_node* n = result->nodes; n != nullptr; n = n->ai_next)
      if (n->ai_family == AF_INET && n->ai_addr != nullptr)
        answer.push_back(WSocketDottedAddress(reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr));
    if (answer.empty()) status = ARES_ENODATA;
  }
  if (result != nullptr) ares_freeaddrinfo(result);
  req.Channel->End(req.Id, status, std::move(answer));
}

void TDnsChannel::OnHost(void* arg, int status, int, hostent* host) {
  TRequest req = *static_cast<TRequest*>(arg);
  delete static_cast<TRequest*>(arg);
  std::vector<std::string> answer;
  if (status == ARES_SUCCESS) {
    if (host != nullptr && host->h_name != nullptr)
      answer.emplace_back(host->h_name);
    else
      status = ARES_ENODATA;
  }
  req.Channel->End(req.Id, status, std::move(answer));
}

void TDnsChannel::DrainAnswers() {
  if (channel_ == nullptr) return;
  const std::vector<int> sockets = sockets_;  // a read may close one
  for (int fd : sockets) ares_process_fd(channel_, fd, ARES_SOCKET_BAD);
}

void TDnsChannel::OnSocketState(void* data, int fd, int readable, int writable) {
  auto* self = static_cast<TDnsChannel*>(data);
  std::erase(self->sockets_, fd);
  if (readable || writable) self->sockets_.push_back(fd);
  uint32_t events = (readable ? FD_READ : 0) | (writable ? FD_WRITE : 0);
  self->loop_.WatchDescriptor(fd, self->endpoint_.Id(), events);
}

void TDnsChannel::HandleMessage(TMessage& msg) {
  if (channel_ == nullptr) return;
  if (msg.Msg == WM_ASYNCSELECT) {
    int fd = static_cast<int>(msg.WParam);
    uint32_t events = SelectEvent(msg.LParam);
    ares_process_fd(channel_, events & FD_READ ? fd : ARES_SOCKET_BAD, events & FD_WRITE ? fd : ARES_SOCKET_BAD);
  } else if (msg.Msg == WM_DNS_TIMEOUT && static_cast<uint64_t>(msg.WParam) == timer_) {
    timer_ = 0;
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  } else {
    return;
  }
  ArmTimer();
}

void TDnsChannel::ArmTimer() {
  if (timer_ != 0) loop_.KillTimer(timer_);
  timer_ = 0;
  if (channel_ == nullptr) return;
  timeval tv{};
  if (ares_timeout(channel_, nullptr, &tv) == nullptr) return;  // nothing waits for an answer
  long ms = tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000;
  timer_ = loop_.SetTimer(endpoint_.Id(), WM_DNS_TIMEOUT, static_cast<int>(std::min<long>(ms, 1 << 30)));
}

}  // namespace ordwin
