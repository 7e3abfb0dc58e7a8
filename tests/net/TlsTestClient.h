// TTlsTestClient: a TLS client on a non-blocking loopback socket, stepped while the test's loop
// turns, so that it can talk to a server on the same thread. It checks no certificate, as the
// GG clients that ask for encryption if available do.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "tests/net/TestLoop.h"

namespace ordwin::test {

class TTlsTestClient {
public:
  explicit TTlsTestClient(int port) : socket_(ConnectTo(port)) {
    ::fcntl(socket_.Get(), F_SETFL, O_NONBLOCK);
    SSL_set_fd(ssl_.get(), socket_.Get());
  }

  // Each pumps until it is done: false, or fewer bytes, when the connection failed or time ran out.
  bool Handshake() {
    return Step([&] { return SSL_connect(ssl_.get()); }) == 1;
  }
  void Send(const std::string& data) {
    Step([&] { return SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size())); });
  }
  std::string Read(size_t count) {
    std::string got;
    char buffer[16384];
    auto read = [&] {
      int n = SSL_read(ssl_.get(), buffer, sizeof(buffer));
      got.append(buffer, static_cast<size_t>(std::max(n, 0)));
      return n;
    };
    Step(read, [&] { return got.size() >= count; });
    return got;
  }

private:
  // Runs operation while the loop turns, until done holds or it failed other than by waiting for
  // the socket; returns its last result.
  int Step(
      const std::function<int()>& operation, const std::function<bool()>& done = [] { return true; }) {
    int result = 0;
    PumpUntil([&] {
      if ((result = operation()) > 0) return done();
      int error = SSL_get_error(ssl_.get(), result);
      return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
    });
    return result;
  }

  TDescriptor socket_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_{SSL_CTX_new(TLS_client_method()), SSL_CTX_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{SSL_new(context_.get()), SSL_free};
};

}  // namespace ordwin::test
