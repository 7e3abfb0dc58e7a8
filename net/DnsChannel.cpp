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

constexpr uint32_t kTimeoutMsg = 2100;  // the loop's timer for c-ares' next timeout
// Lookups started between reads of the answers already there: a socket's receive buffer holds
// a few hundred answers.
constexpr unsigned kDrainEvery = 32;

// What c-ares holds for one lookup until its callback runs (also when it is cancelled).
struct TRequest {
  TDnsChannel* Channel;
  uint32_t Id;
};

int CloseOnExec(ares_socket_t Fd, int, void*) { return ::fcntl(Fd, F_SETFD, FD_CLOEXEC) < 0 ? -1 : 0; }

}  // namespace

int TDnsChannel::ErrorFromStatus(int Status) {
  switch (Status) {
    case ARES_SUCCESS: return 0;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME: return WSAHOST_NOT_FOUND;
    case ARES_ENODATA: return WSANO_DATA;
    case ARES_ETIMEOUT:
    case ARES_ESERVFAIL:
    case ARES_ECONNREFUSED: return WSATRY_AGAIN;
    case ARES_ENOMEM: return WSAENOBUFS;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION: return WSAEINTR;
    default: return WSANO_RECOVERY;  // a malformed, refused or unusable answer
  }
}

TDnsChannel::TDnsChannel(EventLoop& Loop) : loop_(Loop), endpoint_(this, Loop) {
  if (int rc = ares_library_init(ARES_LIB_INIT_ALL); rc != ARES_SUCCESS)
    throw std::runtime_error(std::string("ares_library_init: ") + ares_strerror(rc));
  Open();
}

TDnsChannel::~TDnsChannel() {
  closing_ = true;
  Close();
  ares_library_cleanup();
}

void TDnsChannel::Open() {
  ares_options opts{};
  int mask = ARES_OPT_SOCK_STATE_CB;
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
  if (int rc = ares_init_options(&channel_, &opts, mask); rc != ARES_SUCCESS)
    throw std::runtime_error(std::string("ares_init_options: ") + ares_strerror(rc));
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

void TDnsChannel::Configure(const TConfig& Config) {
  TConfig old = config_;
  Close();
  config_ = Config;
  try {
    Open();
  } catch (const std::exception&) {
    config_ = old;
    Open();
    throw;
  }
}

uint32_t TDnsChannel::Start(EndpointId Reply, uint32_t Msg) {
  if (++started_ % kDrainEvery == 0) DrainAnswers();
  uint32_t id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;
  lookups_[id] = TLookup{Reply, Msg, false, {}};
  return id;
}

uint32_t TDnsChannel::LookUpName(const std::string& Name, EndpointId Reply, uint32_t Msg) {
  uint32_t id = Start(Reply, Msg);
  // The resolver reads C strings: a name holding a NUL byte must not resolve as its prefix.
  if (Name.find('\0') != std::string::npos) {
    End(id, ARES_ENOTFOUND, {});
    return id;
  }
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = ARES_AI_NOSORT | ARES_AI_ENVHOSTS;
  ares_getaddrinfo(channel_, Name.c_str(), nullptr, &hints, &TDnsChannel::OnAddresses, new TRequest{this, id});
  ArmTimer();
  return id;
}

uint32_t TDnsChannel::LookUpAddress(uint32_t Address, EndpointId Reply, uint32_t Msg) {
  uint32_t id = Start(Reply, Msg);
  in_addr a{};
  a.s_addr = Address;
  ares_gethostbyaddr(channel_, &a, sizeof(a), AF_INET, &TDnsChannel::OnHost, new TRequest{this, id});
  ArmTimer();
  return id;
}

std::vector<std::string> TDnsChannel::TakeAnswer(uint32_t Id) {
  auto it = lookups_.find(Id);
  if (it == lookups_.end() || !it->second.Ended) return {};
  std::vector<std::string> answer = std::move(it->second.Answer);
  lookups_.erase(it);
  return answer;
}

void TDnsChannel::End(uint32_t Id, int Status, std::vector<std::string> Answer) {
  auto it = lookups_.find(Id);
  if (it == lookups_.end() || it->second.Ended) return;  // cancelled meanwhile
  if (closing_) {
    lookups_.erase(it);
    return;
  }
  TLookup& l = it->second;
  l.Ended = true;
  l.Answer = std::move(Answer);
  // Posted, also for an answer found at once: the asker hears of it on a later turn.
  loop_.Post(l.Reply, l.Msg, static_cast<intptr_t>(Id), MakeSelectArg(0, static_cast<uint32_t>(ErrorFromStatus(Status))));
}

void TDnsChannel::OnAddresses(void* Arg, int Status, int, ares_addrinfo* Result) {
  TRequest req = *static_cast<TRequest*>(Arg);
  delete static_cast<TRequest*>(Arg);
  std::vector<std::string> answer;
  if (Status == ARES_SUCCESS && Result != nullptr) {
    for (const ares_addrinfo_node* n = Result->nodes; n != nullptr; n = n->ai_next)
      if (n->ai_family == AF_INET && n->ai_addr != nullptr)
        answer.push_back(WSocketDottedAddress(reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr));
    if (answer.empty()) Status = ARES_ENODATA;
  }
  if (Result != nullptr) ares_freeaddrinfo(Result);
  req.Channel->End(req.Id, Status, std::move(answer));
}

void TDnsChannel::OnHost(void* Arg, int Status, int, hostent* Host) {
  TRequest req = *static_cast<TRequest*>(Arg);
  delete static_cast<TRequest*>(Arg);
  std::vector<std::string> answer;
  if (Status == ARES_SUCCESS) {
    if (Host != nullptr && Host->h_name != nullptr)
      answer.emplace_back(Host->h_name);
    else
      Status = ARES_ENODATA;
  }
  req.Channel->End(req.Id, Status, std::move(answer));
}

void TDnsChannel::DrainAnswers() {
  const std::vector<int> sockets = sockets_;  // a read may close one
  for (int fd : sockets) ares_process_fd(channel_, fd, ARES_SOCKET_BAD);
}

void TDnsChannel::OnSocketState(void* Data, int Fd, int Readable, int Writable) {
  auto* self = static_cast<TDnsChannel*>(Data);
  std::erase(self->sockets_, Fd);
  if (Readable || Writable) self->sockets_.push_back(Fd);
  uint32_t events = (Readable ? FD_READ : 0) | (Writable ? FD_WRITE : 0);
  self->loop_.WatchDescriptor(Fd, self->endpoint_.Id(), events);
}

void TDnsChannel::HandleMessage(TMessage& Msg) {
  if (channel_ == nullptr) return;
  if (Msg.Msg == WM_ASYNCSELECT) {
    int fd = static_cast<int>(Msg.WParam);
    uint32_t events = SelectEvent(Msg.LParam);
    ares_process_fd(channel_, events & FD_READ ? fd : ARES_SOCKET_BAD, events & FD_WRITE ? fd : ARES_SOCKET_BAD);
  } else if (Msg.Msg == kTimeoutMsg && static_cast<uint64_t>(Msg.WParam) == timer_) {
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
  timer_ = loop_.SetTimer(endpoint_.Id(), kTimeoutMsg, static_cast<int>(std::min<long>(ms, 1 << 30)));
}

}  // namespace ordwin
