// A THttpServer on 127.0.0.1 with an ephemeral port and a document folder of its own, and plain
// blocking clients that send a request and collect the reply until the server ends it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "http/HttpSrv.h"
#include "tests/net/TestLoop.h"

namespace ordwin::test {

namespace fs = std::filesystem;

// Sets an environment variable for the life of a scope.
class TScopedEnv {
public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    ::setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (had_)
      ::setenv(name_, old_.c_str(), 1);
    else
      ::unsetenv(name_);
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// Sends all of data without blocking, running the loop whenever the peer has no room, so that a
// request larger than the socket buffers reaches a server that runs on this thread.
inline void SendPumping(int fd, const std::string& data) {
  size_t off = 0;
  bool sent = PumpUntil([&] {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) off += static_cast<size_t>(n);
    return off == data.size() || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  });
  EXPECT_TRUE(sent);
}

class HttpTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    char name[] = "/tmp/ordwin-docs-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    Folder = name;
    fs::create_directories(Folder / "www");
    Server = std::make_unique<THttpServer>(nullptr);
    Server->SetAddr("127.0.0.1");
    Server->SetPort("0");
    Server->DocDir = (Folder / "www").string();
  }
  void TearDown() override {
    Server.reset();
    fs::remove_all(Folder);
    LoopTest::TearDown();
  }

  void Start() {
    Server->Start();
    Port = std::stoi(Server->SocketServer()->GetBoundPort());
  }
  void Write(const fs::path& name, const std::string& content) {
    fs::create_directories((Folder / name).parent_path());
    std::ofstream(Folder / name, std::ios::binary) << content;
  }

  // Pumps until the server ended the connection (or a deadline passed); returns what came.
  std::string ReadToEnd(int fd) {
    std::string got;
    bool ended = PumpUntil([&] { return DrainPeer(fd, got); });
    EXPECT_TRUE(ended) << "the server did not end the connection; got: " << got;
    return got;
  }
  // One request on a new connection: every byte of the reply, up to the server's close.
  std::string Exchange(const std::string& request) {
    TDescriptor peer = ConnectTo(Port);
    SendPumping(peer.Get(), request);
    return ReadToEnd(peer.Get());
  }

  fs::path Folder;
  std::unique_ptr<THttpServer> Server;
  int Port = 0;
};

// The 404 reply for a path, with the status line's version.
inline std::string NotFound(const std::string& path, const std::string& version = "HTTP/1.0") {
  std::string page = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The requested URL " +
                     path + " was not found on this server.<P></BODY></HTML>\r\n";
  return version + " 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
         "\r\n\r\n" + page;
}

}  // namespace ordwin::test
