/* gg_floor: the least a GG relay can do on this machine, the floor bench/gg_bench.sh measures
 * Ordwin against. One thread, level-triggered epoll, each connection's output gathered during a
 * turn of the loop and written once at its end, a hash map from GG number to connection, no log.
 * It speaks only what the benchmark's GG 6.0 clients use: the welcome, login 21 -> 3, message
 * 11 -> acknowledgement 5 and 10 to the recipient, status 2 -> 15 to every other client, and ping.
 * With --http PORT it also answers every HTTP request with the server-address reply and closes.
 * With --log FILE it appends each message's line to FILE as Ordwin's log shows it (UTF-8), the
 * turn's lines in one write at its end, or each 256 KiB as it fills (a turn here takes up to
 * 1,024 connections: a batch of megabytes would leave the cache before its write, which then
 * costs half as much again): the least a relay that logs its messages can do, for the share of
 * the log in Ordwin's cost. Only message lines, and a byte of the text that is not
 * printable ASCII shows as U+FFFD (Ordwin shows its letter or control picture): the benchmark's
 * texts are printable.
 *
 * Usage: gg_floor [-l ADDRESS] [-p GGPORT] [--http HTTPPORT] [--log FILE]
 *        (127.0.0.1 and 18074 by default)
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kLogPiece = 256 * 1024 };
enum { kHeader = 8, kReadChunk = 1 << 16, kMaxPayload = 1 << 20, kMaxRequest = 1 << 16, kMaxEvents = 1024 };
enum { kWelcome = 1, kStatus = 2, kLoginOk = 3, kSendAck = 5, kPing = 8, kRecvMsg = 10, kSendMsg = 11 };
enum { kNotify = 15, kLogin = 21 };
enum TKind { kGgListener, kHttpListener, kGg, kHttp };

/* What the server says, in Windows-1250, when a message's recipient is not connected. */
static const char kNobodyThere[] = "U\xBFytkownik gdzie\x9C se posze\xB3. Wiadomo\x9C\xE6 nie zostanie mu przekazana.";

typedef struct TBuf {
  char* data;
  size_t len, cap;
} TBuf;

typedef struct TConn {
  enum TKind kind;
  int fd;
  int32_t uin;
  size_t index; /* in the client list */
  int dirty, dead, mapped, watchingOut, answered;
  TBuf in, out;
  size_t sent; /* bytes of out already written */
} TConn;

typedef struct TList {
  TConn** items;
  size_t len, cap;
} TList;

typedef struct TRelay {
  int epoll;
  TList clients, dirty, dead;
  TConn** map; /* open addressing by number, linear probing; a power of two long */
  size_t mapCap, mapLen;
  uint64_t random;
  char reply[256];
  size_t replyLen;
  int logFd; /* -1: no log */
  TBuf log;  /* the turn's lines */
  char chunk[kReadChunk];
} TRelay;

static void Fail(const char* what) {
  perror(what);
  exit(1);
}

static char* Grow(TBuf* b, size_t more) {
  if (b->len + more > b->cap) {
    size_t cap = b->cap ? b->cap : 256;
    while (cap < b->len + more) cap *= 2;
    if (!(b->data = realloc(b->data, cap))) Fail("realloc");
    b->cap = cap;
  }
  char* at = b->data + b->len;
  b->len += more;
  return at;
}

static void Push(TList* l, TConn* c) {
  if (l->len == l->cap) {
    l->cap = l->cap ? 2 * l->cap : 64;
    if (!(l->items = realloc(l->items, l->cap * sizeof *l->items))) Fail("realloc");
  }
  l->items[l->len++] = c;
}

static int32_t GetLe(const char* p) {
  const unsigned char* u = (const unsigned char*)p;
  return (int32_t)((uint32_t)u[0] | (uint32_t)u[1] << 8 | (uint32_t)u[2] << 16 | (uint32_t)u[3] << 24);
}

static char* PutLe(char* p, int32_t v) {
  uint32_t u = (uint32_t)v;
  p[0] = (char)u, p[1] = (char)(u >> 8), p[2] = (char)(u >> 16), p[3] = (char)(u >> 24);
  return p + 4;
}

/* c's output is written once, at the end of the turn. */
static void MarkDirty(TRelay* r, TConn* c) {
  if (c->dirty) return;
  c->dirty = 1;
  Push(&r->dirty, c);
}

/* Room for one packet at the end of c's output, its header written. */
static char* Packet(TRelay* r, TConn* c, int32_t type, size_t payload) {
  MarkDirty(r, c);
  char* p = Grow(&c->out, kHeader + payload);
  return PutLe(PutLe(p, type), (int32_t)payload);
}

static int32_t Random(TRelay* r) {
  r->random ^= r->random << 13, r->random ^= r->random >> 7, r->random ^= r->random << 17;
  return (int32_t)((r->random >> 16) % 2147483647u);
}

static size_t Slot(const TRelay* r, int32_t uin) {
  uint32_t h = (uint32_t)uin * 2654435761u;
  return (h ^ h >> 16) & (r->mapCap - 1);
}

static TConn* Find(const TRelay* r, int32_t uin) {
  for (size_t i = Slot(r, uin);; i = (i + 1) & (r->mapCap - 1))
    if (!r->map[i] || r->map[i]->uin == uin) return r->map[i];
}

static int Insert(TRelay* r, TConn* c);

static void GrowMap(TRelay* r) {
  TConn** old = r->map;
  size_t oldCap = r->mapCap;
  r->mapCap = oldCap ? 2 * oldCap : 1024;
  if (!(r->map = calloc(r->mapCap, sizeof *r->map))) Fail("calloc");
  r->mapLen = 0;
  for (size_t i = 0; i < oldCap; ++i)
    if (old[i]) (void)Insert(r, old[i]);
  free(old);
}

/* The first connection to log in with a number keeps it, as the server finds the first; returns
 * whether c got it. */
static int Insert(TRelay* r, TConn* c) {
  if (2 * (r->mapLen + 1) > r->mapCap) GrowMap(r);
  size_t i = Slot(r, c->uin);
  while (r->map[i] && r->map[i]->uin != c->uin) i = (i + 1) & (r->mapCap - 1);
  if (r->map[i]) return 0;
  r->map[i] = c;
  ++r->mapLen;
  return 1;
}

/* Takes c, which holds its number, out of the map, shifting back the entries probed past it. */
static void Forget(TRelay* r, TConn* c) {
  size_t i = Slot(r, c->uin);
  while (r->map[i] != c) i = (i + 1) & (r->mapCap - 1);
  c->mapped = 0;
  r->map[i] = NULL;
  --r->mapLen;
  for (size_t j = (i + 1) & (r->mapCap - 1); r->map[j]; j = (j + 1) & (r->mapCap - 1)) {
    size_t home = Slot(r, r->map[j]->uin);
    /* An entry may move to i only if i lies on its probe path, from home to j. */
    if (((j - home) & (r->mapCap - 1)) >= ((j - i) & (r->mapCap - 1))) {
      r->map[i] = r->map[j];
      r->map[j] = NULL;
      i = j;
    }
  }
}

/* Marks c closed; its descriptor stays open until the turn's end, so that no later event of this
 * turn can name a new connection that reused it. */
static void Close(TRelay* r, TConn* c) {
  if (c->dead) return;
  c->dead = 1;
  epoll_ctl(r->epoll, EPOLL_CTL_DEL, c->fd, NULL);
  if (c->kind == kGg) {
    if (c->mapped) Forget(r, c);
    TConn* last = r->clients.items[--r->clients.len];
    r->clients.items[c->index] = last;
    last->index = c->index;
  }
  Push(&r->dead, c);
}

static char* PutDecimal(char* p, int32_t v) {
  char digits[12];
  int n = 0;
  uint32_t u = v < 0 ? 0u - (uint32_t)v : (uint32_t)v;
  if (v < 0) *p++ = '-';
  do digits[n++] = (char)('0' + u % 10);
  while ((u /= 10) != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

/* The text's bytes as the log shows them: printable runs copied eight at a time. */
static char* PutShownText(char* p, const char* text, size_t len) {
  size_t i = 0;
  while (i < len) {
    if (len - i >= 8) {
      uint64_t w;
      memcpy(&w, text + i, 8);
      /* A byte below 0x20, 0x7F, or from 0x80 up sets its high bit (exact up to the first). */
      uint64_t odd = (((w - 0x2020202020202020u) & ~w) | (w + 0x0101010101010101u) | w) & 0x8080808080808080u;
      if (!odd) {
        memcpy(p, text + i, 8);
        p += 8, i += 8;
        continue;
      }
    }
    unsigned char b = (unsigned char)text[i++];
    if (b == '\t' || (b >= 0x20 && b < 0x7F))
      *p++ = (char)b;
    else
      memcpy(p, "\xEF\xBF\xBD", 3), p += 3;
  }
  return p;
}

static void WriteLog(TRelay* r);

static void LogMessage(TRelay* r, int32_t from, int32_t to, const char* text, size_t len) {
  if (r->log.len >= kLogPiece) WriteLog(r);
  static const char kSays[] = ">wypowied\xC5\xBA dla ", kAbout[] = " o tre\xC5\x9B\x63i \"";
  char* start = Grow(&r->log, 1 + 11 + sizeof kSays + 11 + sizeof kAbout + 3 * len + 1);
  char* p = start;
  if (start != r->log.data) *p++ = '\n';
  p = PutDecimal(p, from);
  memcpy(p, kSays, sizeof kSays - 1), p += sizeof kSays - 1;
  p = PutDecimal(p, to);
  memcpy(p, kAbout, sizeof kAbout - 1), p += sizeof kAbout - 1;
  p = PutShownText(p, text, len);
  *p++ = '"';
  r->log.len = (size_t)(p - r->log.data);
}

static void WriteLog(TRelay* r) {
  if (r->log.len == 0) return;
  Grow(&r->log, 1)[0] = '\n';
  for (size_t at = 0; at < r->log.len;) {
    ssize_t n = write(r->logFd, r->log.data + at, r->log.len - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write to the log");
    at += (size_t)n;
  }
  r->log.len = 0;
}

static void Message(TRelay* r, TConn* c, const char* p, size_t len) {
  if (len < 8) return;
  const char* text = p + 12;
  size_t textLen = 0;
  if (len > 12) {
    const char* nul = memchr(text, 0, len - 12 < 2000 ? len - 12 : 2000);
    if (nul) textLen = (size_t)(nul - text);
  }
  TConn* to = Find(r, GetLe(p));
  if (r->logFd >= 0) LogMessage(r, c->uin, GetLe(p), text, textLen);
  char* q = Packet(r, c, kSendAck, 12);
  PutLe(PutLe(PutLe(q, to ? 2 : 1), c->uin), GetLe(p + 4));
  if (!to) text = kNobodyThere, textLen = sizeof kNobodyThere - 1;
  q = Packet(r, to ? to : c, kRecvMsg, 16 + textLen + 1);
  q = PutLe(PutLe(PutLe(PutLe(q, to ? c->uin : 0), Random(r)), 0), 4);
  memcpy(q, text, textLen);
  q[textLen] = 0;
}

static void Status(TRelay* r, TConn* c, const char* p, size_t len) {
  if (len < 4) return;
  int32_t status = GetLe(p) & ~0x8000;
  unsigned char code = (unsigned char)status;
  code = code == 20 ? 1 : code == 22 ? 21 : code;
  for (size_t i = 0; i < r->clients.len; ++i) {
    TConn* to = r->clients.items[i];
    if (to->uin == c->uin) continue;
    char* q = Packet(r, to, kNotify, 14 + len - 4);
    q = PutLe(q, c->uin);
    *q++ = (char)code;
    memset(q, 0, 9);
    memcpy(q + 9, p + 4, len - 4);
  }
  if (status == 1 || status == 21) Close(r, c);
}

static void Handle(TRelay* r, TConn* c, int32_t type, const char* p, size_t len) {
  switch (type) {
    case kLogin:
      if (len < 4) return;
      if (c->mapped) Forget(r, c);
      c->uin = GetLe(p);
      c->mapped = Insert(r, c);
      Packet(r, c, kLoginOk, 0);
      return;
    case kSendMsg:
      Message(r, c, p, len);
      return;
    case kStatus:
      Status(r, c, p, len);
      return;
    default: /* ping and the rest: nothing to answer */
      return;
  }
}

/* Hands each whole packet of p to Handle; returns the bytes taken, or -1 for a length no client sends. */
static long Packets(TRelay* r, TConn* c, const char* p, size_t len) {
  size_t at = 0;
  while (!c->dead && len - at >= kHeader) {
    int32_t payload = GetLe(p + at + 4);
    if (payload < 0 || payload > kMaxPayload) return -1;
    if (len - at - kHeader < (size_t)payload) break;
    Handle(r, c, GetLe(p + at), p + at + kHeader, (size_t)payload);
    at += kHeader + (size_t)payload;
  }
  return (long)at;
}

static void ReadGg(TRelay* r, TConn* c) {
  ssize_t n = recv(c->fd, r->chunk, sizeof r->chunk, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    Close(r, c);
    return;
  }
  /* Parsed where the bytes are: in the chunk when nothing waited, else behind what waited. */
  const char* p = r->chunk;
  size_t len = (size_t)n;
  if (c->in.len) {
    memcpy(Grow(&c->in, len), r->chunk, len);
    p = c->in.data, len = c->in.len;
  }
  long taken = Packets(r, c, p, len);
  if (taken < 0) {
    Close(r, c);
    return;
  }
  size_t rest = len - (size_t)taken;
  if (p == c->in.data) {
    memmove(c->in.data, c->in.data + taken, rest);
    c->in.len = rest;
  } else if (rest) {
    memcpy(Grow(&c->in, rest), p + taken, rest);
  }
}

static void ReadHttp(TRelay* r, TConn* c) {
  ssize_t n = recv(c->fd, r->chunk, sizeof r->chunk, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    Close(r, c);
    return;
  }
  if (c->answered) return;
  size_t from = c->in.len > 3 ? c->in.len - 3 : 0;
  memcpy(Grow(&c->in, (size_t)n), r->chunk, (size_t)n);
  if (memmem(c->in.data + from, c->in.len - from, "\r\n\r\n", 4)) {
    c->answered = 1;
    MarkDirty(r, c);
    memcpy(Grow(&c->out, r->replyLen), r->reply, r->replyLen);
  } else if (c->in.len > kMaxRequest) {
    Close(r, c);
  }
}

static void Watch(TRelay* r, TConn* c, int op, uint32_t events) {
  struct epoll_event e = {.events = events, .data.ptr = c};
  if (epoll_ctl(r->epoll, op, c->fd, &e) < 0) Fail("epoll_ctl");
}

/* Writes what c gathered; watches for room while some is left. An answered HTTP request closes. */
static void Flush(TRelay* r, TConn* c) {
  c->dirty = 0;
  while (!c->dead && c->sent < c->out.len) {
    ssize_t n = send(c->fd, c->out.data + c->sent, c->out.len - c->sent, MSG_NOSIGNAL);
    if (n > 0)
      c->sent += (size_t)n;
    else if (n < 0 && errno == EINTR)
      continue;
    else if (n < 0 && errno == EAGAIN)
      break;
    else
      Close(r, c);
  }
  if (c->dead) return;
  int left = c->sent < c->out.len;
  if (!left) c->out.len = c->sent = 0;
  if (!left && c->kind == kHttp) {
    Close(r, c);
    return;
  }
  if (left != c->watchingOut) {
    c->watchingOut = left;
    Watch(r, c, EPOLL_CTL_MOD, EPOLLIN | (left ? EPOLLOUT : 0));
  }
}

static void Accept(TRelay* r, TConn* listener) {
  int fd;
  while ((fd = accept4(listener->fd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
    TConn* c = calloc(1, sizeof *c);
    if (!c) Fail("calloc");
    c->fd = fd;
    c->kind = listener->kind == kGgListener ? kGg : kHttp;
    Watch(r, c, EPOLL_CTL_ADD, EPOLLIN);
    if (c->kind == kHttp) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->index = r->clients.len;
    Push(&r->clients, c);
    PutLe(Packet(r, c, kWelcome, 4), Random(r));
  }
}

static void Listen(TRelay* r, TConn* listener, const char* address, int port) {
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1) {
    fprintf(stderr, "gg_floor: not an IPv4 address: %s\n", address);
    exit(2);
  }
  int one = 1;
  listener->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener->fd < 0) Fail("socket");
  setsockopt(listener->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  /* The kernel caps the backlog at net.core.somaxconn, the platform's maximum. */
  if (bind(listener->fd, (struct sockaddr*)&a, sizeof a) < 0 || listen(listener->fd, 65535) < 0) Fail("listen");
  Watch(r, listener, EPOLL_CTL_ADD, EPOLLIN);
}

int main(int argc, char** argv) {
  const char* address = "127.0.0.1";
  int port = 18074, httpPort = 0;
  const char* logFile = NULL;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "-l") && i + 1 < argc)
      address = argv[++i];
    else if (!strcmp(argv[i], "-p") && i + 1 < argc)
      port = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--http") && i + 1 < argc)
      httpPort = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--log") && i + 1 < argc)
      logFile = argv[++i];
    else {
      fprintf(stderr,
              "usage: gg_floor [-l ADDRESS] [-p GGPORT] [--http HTTPPORT] [--log FILE]\n"
              "defaults: -l 127.0.0.1 -p 18074, no HTTP\n");
      return 2;
    }
  }
  /* Each client holds a descriptor: the soft limit goes up to the hard one, as Ordwin's does. */
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  static TRelay relay;
  TRelay* r = &relay;
  r->random = (uint64_t)time(NULL) * 6364136223846793005u | 1;
  r->logFd = -1;
  if (logFile && (r->logFd = open(logFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)) < 0) Fail(logFile);
  GrowMap(r);
  r->replyLen =
      (size_t)snprintf(r->reply, sizeof r->reply, "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 %s:%d %s",
                       address, port, address);
  if ((r->epoll = epoll_create1(EPOLL_CLOEXEC)) < 0) Fail("epoll_create1");
  TConn gg = {.kind = kGgListener}, http = {.kind = kHttpListener};
  Listen(r, &gg, address, port);
  if (httpPort) Listen(r, &http, address, httpPort);

  struct epoll_event events[kMaxEvents];
  for (;;) {
    int n = epoll_wait(r->epoll, events, kMaxEvents, -1);
    if (n < 0 && errno != EINTR) Fail("epoll_wait");
    for (int i = 0; i < n; ++i) {
      TConn* c = events[i].data.ptr;
      if (c->kind == kGgListener || c->kind == kHttpListener) {
        Accept(r, c);
        continue;
      }
      if (!c->dead && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        if (c->kind == kGg)
          ReadGg(r, c);
        else
          ReadHttp(r, c);
      }
      if (!c->dead && (events[i].events & EPOLLOUT)) MarkDirty(r, c);
    }
    /* The turn's end: each connection's output in one write, then the closed ones let go. */
    for (size_t i = 0; i < r->dirty.len; ++i)
      if (!r->dirty.items[i]->dead) Flush(r, r->dirty.items[i]);
    r->dirty.len = 0;
    if (r->logFd >= 0) WriteLog(r);
    for (size_t i = 0; i < r->dead.len; ++i) {
      TConn* c = r->dead.items[i];
      close(c->fd);
      free(c->in.data);
      free(c->out.data);
      free(c);
    }
    r->dead.len = 0;
  }
}
