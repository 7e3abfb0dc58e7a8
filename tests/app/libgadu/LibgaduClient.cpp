// LibgaduClient: a GG client built on libgadu, driven line by line for the whole-program tests.
//
// Usage: libgadu_client UIN PROTOCOL SERVER STATUS DESCR_HEX [TLS]
//   PROTOCOL is libgadu's protocol_version (0x2e or 0x40); SERVER an IPv4 address, or "hub" to
//   let libgadu ask the network's server-address host. The session is UTF-8. TLS is libgadu's
//   tls setting: 0 (the default) none, 1 Pidgin's "Use encryption if available".
//
// Commands on standard input (texts hex-encoded UTF-8, numbers decimal or 0x-hexadecimal):
//   status S DESCR | notify UIN... | add UIN | remove UIN | msg UIN TEXT | typing UIN LEN |
//   put TEXT | get | ping | quit
// Events on standard output, one line each:
//   connected | failed CODE | msg FROM CLASS TEXT, then sent FROM TIME | ack TO STATUS SEQ |
//   status UIN S DESCR | notify UIN S DESCR | userlist TYPE TEXT | typing UIN LEN |
//   disconnect_ack | disconnect | closed
#include <libgadu.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Hex(const char* text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char* p = text ? text : ""; *p; ++p) {
    unsigned char b = static_cast<unsigned char>(*p);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out.empty() ? "-" : out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

unsigned long Number(const std::string& text) { return std::stoul(text, nullptr, 0); }

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void Report(const gg_event* e) {
  switch (e->type) {
    case GG_EVENT_CONN_SUCCESS:
      Say("connected");
      break;
    case GG_EVENT_CONN_FAILED:
      Say("failed " + std::to_string(e->event.failure));
      break;
    case GG_EVENT_MSG:
      Say("msg " + std::to_string(e->event.msg.sender) + " " + std::to_string(e->event.msg.msgclass) + " " +
          Hex(reinterpret_cast<const char*>(e->event.msg.message)));
      Say("sent " + std::to_string(e->event.msg.sender) + " " + std::to_string(static_cast<long>(e->event.msg.time)));
      break;
    case GG_EVENT_ACK:
      Say("ack " + std::to_string(e->event.ack.recipient) + " " + std::to_string(e->event.ack.status) + " " +
          std::to_string(static_cast<unsigned>(e->event.ack.seq)));
      break;
    case GG_EVENT_STATUS60:
      Say("status " + std::to_string(e->event.status60.uin) + " " + std::to_string(e->event.status60.status) + " " +
          Hex(e->event.status60.descr));
      break;
    case GG_EVENT_NOTIFY60:
      for (const gg_event_notify60* n = e->event.notify60; n->uin != 0; ++n)
        Say("notify " + std::to_string(n->uin) + " " + std::to_string(n->status) + " " + Hex(n->descr));
      break;
    case GG_EVENT_USERLIST:
      Say("userlist " + std::to_string(static_cast<int>(e->event.userlist.type)) + " " + Hex(e->event.userlist.reply));
      break;
    case GG_EVENT_TYPING_NOTIFICATION:
      Say("typing " + std::to_string(e->event.typing_notification.uin) + " " +
          std::to_string(e->event.typing_notification.length));
      break;
    case GG_EVENT_DISCONNECT_ACK:
      Say("disconnect_ack");
      break;
    case GG_EVENT_DISCONNECT:
      Say("disconnect");
      break;
    default:
      break;
  }
}

// Runs one command line; false when the client should end.
bool Command(gg_session* s, const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::vector<std::string> a;
  for (std::string w; in >> w;) a.push_back(w);
  auto need = [&](size_t n) { return a.size() >= n; };
  if (verb == "quit") return false;
  if (verb == "status" && need(2)) {
    std::string descr = Unhex(a[1]);
    gg_change_status_descr(s, static_cast<int>(Number(a[0])), descr.c_str());
  } else if (verb == "notify") {
    std::vector<uin_t> uins;
    std::vector<char> types;
    for (const std::string& u : a) {
      uins.push_back(static_cast<uin_t>(Number(u)));
      types.push_back(GG_USER_NORMAL);
    }
    gg_notify_ex(s, uins.empty() ? nullptr : uins.data(), types.empty() ? nullptr : types.data(),
                 static_cast<int>(uins.size()));
  } else if (verb == "add" && need(1)) {
    gg_add_notify_ex(s, static_cast<uin_t>(Number(a[0])), GG_USER_NORMAL);
  } else if (verb == "remove" && need(1)) {
    gg_remove_notify_ex(s, static_cast<uin_t>(Number(a[0])), GG_USER_NORMAL);
  } else if (verb == "msg" && need(2)) {
    std::string text = Unhex(a[1]);
    gg_send_message(s, GG_CLASS_CHAT, static_cast<uin_t>(Number(a[0])),
                    reinterpret_cast<const unsigned char*>(text.c_str()));
  } else if (verb == "typing" && need(2)) {
    gg_typing_notification(s, static_cast<uin_t>(Number(a[0])), static_cast<int>(Number(a[1])));
  } else if (verb == "put" && need(1)) {
    std::string text = Unhex(a[0]);
    gg_userlist_request(s, GG_USERLIST_PUT, text.c_str());
  } else if (verb == "get") {
    gg_userlist_request(s, GG_USERLIST_GET, nullptr);
  } else if (verb == "ping") {
    gg_ping(s);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: %s UIN PROTOCOL SERVER STATUS DESCR_HEX [TLS]\n", argv[0]);
    return 2;
  }
  if (std::getenv("GG_DEBUG")) gg_debug_level = 255;
  std::string descr = Unhex(argv[5]);
  std::string password = "secret";
  gg_login_params p{};
  p.struct_size = sizeof(p);
  p.uin = static_cast<uin_t>(Number(argv[1]));
  p.password = password.data();
  p.async = 1;
  p.protocol_version = static_cast<int>(Number(argv[2]));
  p.encoding = GG_ENCODING_UTF8;
  p.status = static_cast<int>(Number(argv[4]));
  p.status_descr = descr.empty() ? nullptr : descr.data();
  p.tls = argc == 7 ? static_cast<int>(Number(argv[6])) : GG_SSL_DISABLED;
  if (std::string(argv[3]) != "hub") {
    p.server_addr = inet_addr(argv[3]);
    // With TLS, as Pidgin and Finch set it: no port, which libgadu takes as 443.
    p.server_port = p.tls == GG_SSL_DISABLED ? GG_DEFAULT_PORT : 0;
  }
  gg_session* s = gg_login(&p);
  if (s == nullptr) {
    Say("failed -1");
    return 1;
  }

  std::string pending;
  bool running = true;
  time_t deadline = 0;
  while (running) {
    pollfd fds[2] = {{0, POLLIN, 0}, {s->fd, 0, 0}};
    if (s->check & GG_CHECK_READ) fds[1].events |= POLLIN;
    if (s->check & GG_CHECK_WRITE) fds[1].events |= POLLOUT;
    if (s->timeout > 0 && deadline == 0) deadline = time(nullptr) + s->timeout;
    int n = poll(fds, s->fd >= 0 ? 2 : 1, 100);
    if (n < 0) break;
    bool timedOut = deadline != 0 && time(nullptr) >= deadline;
    if ((fds[1].revents != 0 && s->fd >= 0) || timedOut) {
      deadline = 0;
      if (timedOut) s->timeout = 0;
      gg_event* e = gg_watch_fd(s);
      if (e == nullptr) {
        Say("closed");
        break;
      }
      Report(e);
      bool failed = e->type == GG_EVENT_CONN_FAILED;
      gg_event_free(e);
      if (failed) break;
    }
    if (fds[0].revents != 0) {
      char buf[65536];
      ssize_t got = read(0, buf, sizeof(buf));
      if (got <= 0) break;
      pending.append(buf, static_cast<size_t>(got));
      for (size_t nl; running && (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        running = Command(s, line);
      }
    }
  }
  gg_logoff(s);
  gg_free_session(s);
  return 0;
}
