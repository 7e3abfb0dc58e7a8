// The HTTP connection serving files, fed a run of requests sent together and cut into pieces
// anywhere, as a client that pipelines them sends them. Whatever the pieces, the answers must
// be exactly those of the requests one by one, in order, up to the first that ends the
// connection; anything else stops the run.
// Input: one byte per request (bits 0-1: GET, HEAD, GET or an unknown method; bit 2: a file
// that exists; bit 3: keep-alive; bits 4-5: extra header lines; bit 6: LF line ends; bit 7: the
// last request), at most 16; then one byte per piece of the stream (its length less one).
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/FuzzSupport.h"
#include "http/HttpFormat.h"
#include "http/HttpSrv.h"

namespace {

namespace fs = std::filesystem;

const std::string kBody = "0123456789";

ordwin::THttpServer& Server() {
  static ordwin::THttpServer* server = [] {
    fs::path folder = fs::temp_directory_path() / ("ordwin-pipeline-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::ofstream(folder / "a.txt", std::ios::binary) << kBody;
    timeval feb5th2001[2] = {{981378249, 0}, {981378249, 0}};
    ::utimes((folder / "a.txt").c_str(), feb5th2001);
    auto* s = new ordwin::THttpServer(nullptr);
    s->SetAddr("127.0.0.1");
    s->SetPort("0");
    s->DocDir = folder.string();
    s->Start();
    return s;
  }();
  return *server;
}

// One request's bytes, the answer it must get, and whether the connection ends after it.
struct TRequest {
  std::string Bytes, Answer;
  bool Ends;
};

TRequest MakeRequest(uint8_t r) {
  static const char* const kMethods[] = {"GET", "HEAD", "GET", "BREW"};
  const std::string method = kMethods[r & 3], path = r & 4 ? "/a.txt" : "/b.txt", end = r & 64 ? "\n" : "\r\n";
  TRequest q;
  q.Bytes = method + " " + path + " HTTP/1.0" + end;
  if (r & 8) q.Bytes += "Connection: Keep-Alive" + end;
  for (int i = 0; i < ((r >> 4) & 3); ++i)
    q.Bytes += "X-Pad-" + std::to_string(i) + ": " + std::string(i * 40, 'p') + end;
  q.Bytes += end;
  bool found = (r & 4) != 0 && method != "BREW";
  if (found) {
    q.Answer =
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
        "Last-Modified: Mon, 05 Feb 2001 13:04:09 GMT\r\n\r\n" +
        (method == "GET" ? kBody : "");
  } else {
    std::string page = ordwin::NotFoundPage(path);
    q.Answer = "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
               "\r\n\r\n" + (method == "HEAD" ? "" : page);
  }
  q.Ends = !found || (r & 8) == 0;
  return q;
}

// Pumps while the server answers, taking what it sent; true once it has ended the connection.
bool Collect(int fd, std::string& got, int turns = 64) {
  for (int i = 0; i < turns; ++i) {
    ordwin::fuzz::PumpUntilIdle(4);
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) got.append(buffer, static_cast<size_t>(n));
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return true;  // ended, or reset after its answers
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  TWSocketServer* server = Server().SocketServer();
  fuzz::TFuzzInput in(data, size);
  std::string stream, expected;
  bool ended = false;
  for (int i = 0; i < 16 && !in.Empty(); ++i) {
    uint8_t r = in.Byte();
    TRequest q = MakeRequest(r);
    stream += q.Bytes;
    if (!ended) expected += q.Answer;
    ended = ended || q.Ends;
    if (r & 0x80) break;
  }
  fuzz::TSocketPair peer;
  {
    TWSocketClient* client = server->ClientClass(server);
    client->Server = server;
    client->Dup(peer.Near.Release());
    server->OnClientConnect(server, client, 0);
  }
  std::string got;
  for (size_t at = 0; at < stream.size();) {
    size_t piece = in.Empty() ? stream.size() - at : static_cast<size_t>(in.Byte()) + 1;
    fuzz::Offer(peer.Far.Get(), stream.substr(at, piece));
    at += piece;
    Collect(peer.Far.Get(), got, 1);
  }
  bool closed = Collect(peer.Far.Get(), got);
  if (got != expected || closed != ended) std::abort();
  peer.Far.Close();
  for (int i = 0; i < 64 && server->CountClients() > 0; ++i) fuzz::Pump(1);
  return 0;
}
