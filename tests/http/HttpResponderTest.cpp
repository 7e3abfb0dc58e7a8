#include "http/HttpResponder.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/http/HttpTestServer.h"

namespace ordwin {
namespace {

using test::NotFound;

// The responder on 127.0.0.1 with an ephemeral port; its address box is Address.
class HttpResponderTest : public test::HttpTest {
protected:
  void SetUp() override {
    HttpTest::SetUp();
    Responder = std::make_unique<THttpResponder>([this] { return Address; }, [this] { return TlsPort; });
    THttpServer& h = Responder->HttpWSS();
    h.SetAddr("127.0.0.1");
    h.SetPort("0");
    Responder->Start();
    Port = std::stoi(h.SocketServer()->GetBoundPort());
  }
  void TearDown() override {
    Responder.reset();
    HttpTest::TearDown();
  }

  std::string Address = "192.168.0.5";
  int TlsPort = 0;
  std::unique_ptr<THttpResponder> Responder;
};

TEST_F(HttpResponderTest, EveryGetIsAnsweredWithTheAddressOfTheMomentAndThenClosed) {
  const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 192.168.0.5:8074 192.168.0.5";
  EXPECT_EQ(ServerAddressReply("192.168.0.5"), reply);
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"), reply);
  EXPECT_EQ(Exchange("GET /appsvc/appmsg4.asp?x=1 HTTP/1.1\r\nHost: appmsg.gadu-gadu.pl\r\n\r\n"), reply);
  EXPECT_EQ(Exchange("GET /x HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"), reply);
  // What today's GG client library sends, byte for byte.
  EXPECT_EQ(Exchange("GET /appsvc/appmsg_ver8.asp?fmnumber=1001&fmt=2&lastmsg=0&version=10.1.0.11070 HTTP/1.0\r\n"
                     "Host: appmsg.gadu-gadu.pl\r\n\r\n"),
            reply);
  // One that asks for encryption (tls=1 in the query) is sent to the TLS port while GG over TLS
  // runs; any other query, and that one while it does not run, as before.
  const std::string libgadu =
      "GET /appsvc/appmsg_ver11.asp?tls=1&fmnumber=1001&fmt=2&lastmsg=0&version=11.3.45.10771&age=2&gender=1 "
      "HTTP/1.0\r\nHost: appmsg.gadu-gadu.pl\r\n\r\n";
  EXPECT_EQ(Exchange(libgadu), reply);
  TlsPort = 443;
  const std::string tls = "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 192.168.0.5:443 192.168.0.5";
  EXPECT_EQ(Exchange(libgadu), tls);
  EXPECT_EQ(Exchange("GET /?a=b&tls=1 HTTP/1.0\r\n\r\n"), tls);
  EXPECT_EQ(Exchange("GET /tls=1?tls=10&xtls=1&tls HTTP/1.0\r\n\r\n"), reply);

  Address = "ser\xB3wer";  // the box is read at each request, its 8-bit text sent unchanged
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"),
            "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 ser\xB3wer:8074 ser\xB3wer");
  Address.clear();
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"), "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 :8074 ");
}

TEST_F(HttpResponderTest, HeadAndPostNeverContainTheAddress) {
  test::TScopedEnv data("XDG_DATA_HOME", (Folder / "empty").string());  // no c:\wwwroot there
  std::string notFound = NotFound("/");
  EXPECT_EQ(Exchange("HEAD / HTTP/1.0\r\n\r\n"), notFound.substr(0, notFound.find("<HTML>")));
  EXPECT_EQ(Exchange("POST /appsvc/appmsg4.asp HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc"),
            NotFound("/appsvc/appmsg4.asp"));
}

}  // namespace
}  // namespace ordwin
