// TTlsTestClient: a TLS client on a non-blocking loopback socket, stepped while the test's loop
// turns, so that it can talk to a server on the same thread. It checks no certificate, as the
// GG clients that ask for encryption if available do.
#pragma once

#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "tests/net/TestLoop.h"

namespace ordwin::test {

class TTlsTestClient {
public:
  explicit TTlsTestClient(int port)
      : socket_(ConnectTo(port)), context_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free) {
    ::fcntl(socket_.Get(), F_SETFL, O_NONBLOCK);
    ssl_.reset(SSL_new(context_.get()));
    SSL_set_fd(ssl_.get(), socket_.Get());
  }

  // Pumps until the handshake is done; false when it failed or did not end in time.
  bool Handshake() {
    int result = 0;
    PumpUntil([&] { return (result = SSL_connect(ssl_.get())) == 1 || !Retry(result); });
    return result == 1;
  }
  void Send(const std::string& data) {
    for (size_t at = 0; at < data.size();) {
      int n = 0;
      PumpUntil([&] {
        return (n = SSL_write(ssl_.get(), data.data() + at, static_cast<int>(data.size() - at))) > 0 || !Retry(n);
      });
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }
  // Pumps until count bytes have come, or the connection ended, or time ran out.
  std::string Read(size_t count) {
    std::string got;
    char buffer[16384];
    PumpUntil([&] {
      int n = SSL_read(ssl_.get(), buffer, sizeof(buffer));
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      return got.size() >= count || (n <= 0 && !Retry(n));
    });
    return got;
  }
  int Fd() const { return socket_.Get(); }

private:
  bool Retry(int result) const {
    int error = SSL_get_error(ssl_.get(), result);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
  }

  TDescriptor socket_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, SSL_free};
};

}  // namespace ordwin::test
