#include "http/HttpConnection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <sys/time.h>

#include <gtest/gtest.h>

#include "tests/http/HttpTestServer.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;
using test::HttpTest;
using test::NotFound;
using test::PumpUntil;

// What the document handlers saw of each request.
struct TSeen {
  std::string Method, Path, Params, Version, Document, Accept, AcceptLanguage, Host, UserAgent, Connection;
  int32_t ContentLength;
  std::vector<std::string> HeaderLines;
};

class HttpConnectionTest : public HttpTest {
protected:
  void Record(THttpConnection* c) {
    Requests.push_back({c->Method, c->Path, c->Params, c->Version, c->Document, c->ReqAccept, c->ReqAcceptLanguage,
                        c->ReqHost, c->ReqUserAgent, c->ReqConnection, c->ReqContentLength, c->HeaderLines});
  }
  std::vector<TSeen> Requests;
};

TEST_F(HttpConnectionTest, RequestLinesAndHeaderValuesAreReadAsTheySayAndUnknownOnesGet404) {
  Server->DocDir = "c:\\wwwroot";
  Server->OnGetDocument = [this](TObject*, THttpConnection* c, THttpGetFlag& flags) {
    Record(c);
    flags = hfNotFound;
  };
  Start();
  EXPECT_EQ(Exchange("GET /a/b.html?x=1&y=?2 HTTP/1.0\r\n"
                     "HOST: example\r\n"
                     "accept-language: pl\r\n"
                     "Accept:  text/*  \r\n"
                     "content-length: 12\r\n"
                     "Content-Length: 12x\r\n"
                     "User-Agent: one\r\n"
                     "user-agent: two\r\n"
                     "no colon here\r\n"
                     "\r\n"),
            NotFound("/a/b.html"));
  // Empty lines before a request line are skipped; a line end may be a bare LF.
  EXPECT_EQ(Exchange("\r\n\nget /  \n\n"), NotFound("/"));
  EXPECT_EQ(Exchange("GET x.txt  http/1.1 trailing words\r\nConnection: Keep-Alive\r\n\r\n"),
            NotFound("x.txt", "HTTP/1.1"));
  EXPECT_EQ(Exchange("DELETE /<b> HTTP/1.0\r\n\r\n"), NotFound("/&lt;b&gt;"));
  // A POST is answered with 404 by default; its body is never read as another request.
  EXPECT_EQ(Exchange("POST /form HTTP/1.0\r\nContent-Length: 19\r\n\r\nGET /x HTTP/1.0\r\n\r\n"), NotFound("/form"));

  ASSERT_EQ(Requests.size(), 3u);
  const TSeen& a = Requests[0];
  EXPECT_EQ(a.Method, "GET");
  EXPECT_EQ(a.Path, "/a/b.html");
  EXPECT_EQ(a.Params, "x=1&y=?2");
  EXPECT_EQ(a.Version, "HTTP/1.0");
  EXPECT_EQ(a.Document, "c:\\wwwroot\\a\\b.html");
  EXPECT_EQ(a.Host, "example");
  EXPECT_EQ(a.AcceptLanguage, "pl");
  EXPECT_EQ(a.Accept, "text/*  ");  // "Accept-Language:" is not taken for "Accept:"
  EXPECT_EQ(a.ContentLength, 12);   // the bad second value is ignored
  EXPECT_EQ(a.UserAgent, "two");
  EXPECT_EQ(a.HeaderLines.size(), 8u);
  EXPECT_EQ(a.HeaderLines.back(), "no colon here");

  EXPECT_EQ(Requests[1].Method, "GET");
  EXPECT_EQ(Requests[1].Version, "HTTP/1.0");
  EXPECT_EQ(Requests[1].Document, "c:\\wwwroot\\index.html");
  EXPECT_EQ(Requests[1].Host, "");  // values do not outlive their request
  EXPECT_EQ(Requests[2].Document, "c:\\wwwroot\\x.txt");
  EXPECT_EQ(Requests[2].Version, "HTTP/1.1");
  EXPECT_EQ(Requests[2].Connection, "Keep-Alive");  // still closed after a 404
}

TEST_F(HttpConnectionTest, FilesAreServedWholeWithTheirHeaderAndKeepAliveAnswersTheNextRequest) {
  std::string text;
  for (int i = 0; text.size() < 5000; ++i) text += std::to_string(i) + ' ';
  text.resize(5000);
  Write("www/a/b.txt", text);
  Write("www/a/index.html", "<p>hi</p>");
  timeval feb5th2001[2] = {{981378249, 0}, {981378249, 0}};  // 13:04:09 UTC
  ASSERT_EQ(::utimes((Folder / "www/a/b.txt").c_str(), feb5th2001), 0);
  Start();

  const std::string head =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5000\r\n"
      "Last-Modified: Mon, 05 Feb 2001 13:04:09 GMT\r\n\r\n";
  EXPECT_EQ(Exchange("GET /a/b.txt HTTP/1.0\r\n\r\n"), head + text);
  EXPECT_EQ(Exchange("HEAD /a/b.txt HTTP/1.0\r\n\r\n"), head);
  EXPECT_EQ(Exchange("HEAD /a/missing.txt HTTP/1.0\r\n\r\n"),
            NotFound("/a/missing.txt").substr(0, NotFound("/a/missing.txt").find("<HTML>")));
  EXPECT_EQ(Exchange("GET /a/missing.txt HTTP/1.0\r\n\r\n"), NotFound("/a/missing.txt"));
  EXPECT_EQ(Exchange("GET /a HTTP/1.0\r\n\r\n"), NotFound("/a"));  // a folder is no document
  std::string index = Exchange("GET /a/ HTTP/1.0\r\n\r\n");
  EXPECT_EQ(index.substr(0, 63), "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 9\r\nLa");
  EXPECT_EQ(index.substr(index.size() - 13), "\r\n\r\n<p>hi</p>");

  // A handler's own stream goes out as the body, without a header of the connection's; without
  // a stream the connection closes with nothing sent.
  Server->OnGetDocument = [&text](TObject*, THttpConnection* C, THttpGetFlag& Flags) {
    if (C->Path == "/stream") C->DocumentStream = std::make_unique<std::istringstream>(text);
    Flags = hfServeStream;
  };
  EXPECT_EQ(Exchange("GET /stream HTTP/1.0\r\n\r\n"), text);
  EXPECT_EQ(Exchange("GET /none HTTP/1.0\r\n\r\n"), "");
  Server->OnGetDocument = nullptr;

  // Keep-alive: the connection stays open and able to send after a served file.
  TDescriptor peer = test::ConnectTo(Port);
  test::SendAll(peer.Get(), "GET /a/b.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return test::DrainPeer(peer.Get(), got) || got.size() >= head.size() + 5000; }));
  test::PumpTurns(10);
  test::DrainPeer(peer.Get(), got);
  EXPECT_EQ(got, "HTTP/1.1" + head.substr(8) + text);
  test::SendAll(peer.Get(), "HEAD /a/b.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReadToEnd(peer.Get()), head);
}

// Requests sent together, before any answer, are answered in order while each keeps the
// connection alive; what follows one that does not goes with the close.
TEST_F(HttpConnectionTest, PipelinedRequestsAreAnsweredInOrder) {
  Write("www/a.txt", "aaaa");
  timeval feb5th2001[2] = {{981378249, 0}, {981378249, 0}};
  ASSERT_EQ(::utimes((Folder / "www/a.txt").c_str(), feb5th2001), 0);
  Start();
  const std::string a = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n"
                        "Last-Modified: Mon, 05 Feb 2001 13:04:09 GMT\r\n\r\n",
                    kept = "Connection: Keep-Alive\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"HEAD /a.txt HTTP/1.0\r\n" + kept + "\r\nHEAD /a.txt HTTP/1.0\r\n\r\n", a + a},
      {"GET /a.txt HTTP/1.0\r\n" + kept + "\r\nGET /b.txt HTTP/1.0\r\n\r\n", a + "aaaa" + NotFound("/b.txt")},
      {"GET /a.txt HTTP/1.0\n" + kept + "\nHEAD /a.txt HTTP/1.0\r\n" + kept + "\r\nGET /a.txt HTTP/1.0\r\n\r\n",
       a + "aaaa" + a + a + "aaaa"},
      {"HEAD /a.txt HTTP/1.0\r\n\r\nHEAD /a.txt HTTP/1.0\r\n\r\n", a}};
  for (const auto& [requests, replies] : cases) EXPECT_EQ(Exchange(requests), replies) << requests;
}

TEST_F(HttpConnectionTest, NoNameLeavesTheDocumentFolder) {
  Write("secret.txt", "secret");
  Write("www/in.txt", "inside");
  fs::create_symlink("../secret.txt", Folder / "www/out.txt");
  fs::create_symlink("in.txt", Folder / "www/alias.txt");
  fs::create_symlink(Folder, Folder / "www/up");
  Start();
  auto body = [this](const std::string& path) {
    std::string reply = Exchange("GET " + path + " HTTP/1.0\r\n\r\n");
    return reply.rfind("HTTP/1.0 200 OK", 0) == 0 ? reply.substr(reply.find("\r\n\r\n") + 4) : "404";
  };
  EXPECT_EQ(body("/in.txt"), "inside");
  EXPECT_EQ(body("/a/../in.txt"), "inside");
  EXPECT_EQ(body("/alias.txt"), "inside");
  EXPECT_EQ(body("/../secret.txt"), "404");
  EXPECT_EQ(body("/a/../../secret.txt"), "404");
  EXPECT_EQ(body("..\\secret.txt"), "404");
  EXPECT_EQ(body("/out.txt"), "404");
  EXPECT_EQ(body("/up/secret.txt"), "404");
  EXPECT_EQ(body(std::string("/in.txt\0.html", 13)), "404");

  // The default folder "c:\wwwroot" lies in the user's data folder, not among the user's files.
  test::TScopedEnv data("XDG_DATA_HOME", (Folder / "data").string());
  Write("data/Malvory/RIDuziva/c/wwwroot/index.html", "default");
  Server->DocDir = "c:\\wwwroot";
  EXPECT_EQ(body("/"), "default");
}

// A reply larger than the network takes at once is not cut short by the close that follows it,
// and a client still sending when its request is refused gets the reply and an orderly end.
TEST_F(HttpConnectionTest, TheCloseWaitsForTheWholeReplyAndEndsWithoutAReset) {
  const std::string big(8 << 20, 'x');
  Server->OnGetDocument = [&](TObject*, THttpConnection* c, THttpGetFlag& flags) {
    flags = hfTakeOver;
    c->SendString(big);
  };
  Start();
  TDescriptor peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int small = 4096;
  ::setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(peer.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  test::SendAll(peer.Get(), "GET / HTTP/1.0\r\n\r\n");
  test::PumpTurns(50);  // the request is answered and the close asked for before anything is read
  EXPECT_EQ(ReadToEnd(peer.Get()).size(), big.size());

  // The body comes after the 404 has gone out and before the close: it must not be answered
  // with a reset, which would reach the client in place of the orderly end.
  TDescriptor sender = test::ConnectTo(Port);
  test::SendAll(sender.Get(), "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\n");
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return test::DrainPeer(sender.Get(), got) || !got.empty(); }));
  test::SendAll(sender.Get(), "0123456789");
  ASSERT_TRUE(PumpUntil([&] { return test::DrainPeer(sender.Get(), got); }));
  EXPECT_EQ(got, NotFound("/"));
  test::PumpTurns(5);
  int error = 0;
  socklen_t len = sizeof(error);
  ASSERT_EQ(::getsockopt(sender.Get(), SOL_SOCKET, SO_ERROR, &error, &len), 0);
  EXPECT_EQ(error, 0) << std::strerror(error);
}

}  // namespace
}  // namespace ordwin
