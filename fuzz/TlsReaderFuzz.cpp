// The TLS layer's reading of what a client sends: its handshake, the records after it and the
// plaintext they carry, alerts and the end of the stream; the server echoes what it reads.
// Input: a settings byte (bit 0: a real client completes a handshake first), then records of a
// control byte (bit 7: the client closes; bit 6, after a handshake: the bytes go through the
// client's TLS as plaintext, else as they are; bit 5: the client sends close_notify first) and
// a 16-bit length with that many bytes.
#include <csignal>
#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "fuzz/FuzzSupport.h"
#include "net/TlsCertificate.h"
#include "net/TlsContext.h"
#include "net/WSocket.h"

namespace {

using TSsl = std::unique_ptr<SSL, decltype(&SSL_free)>;

std::shared_ptr<const ordwin::TTlsContext> ServerContext() {
  static const auto context = [] {
    const ordwin::TTlsCertificatePem pem = ordwin::MakeSelfSignedCertificate({"localhost"}, 1);
    return ordwin::TTlsContext::FromPem(pem.Certificate, pem.Key);
  }();
  return context;
}

SSL_CTX* ClientContext() {
  static const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                         SSL_CTX_free);
  return context.get();
}

// Runs a step of the client, turning the loop meanwhile, until it is done or fails.
template <typename TStep>
bool Step(SSL* ssl, TStep step) {
  for (int i = 0; i < 64; ++i) {
    int result = step();
    if (result > 0) return true;
    int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    ordwin::fuzz::Pump(1);
  }
  return false;
}

// Reads and drops what the server sent, through the client's TLS once it speaks it.
void Drain(SSL* ssl, int fd, bool secure) {
  if (!secure) return ordwin::fuzz::Drain(fd);
  char buffer[16384];
  while (SSL_read(ssl, buffer, sizeof(buffer)) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  // The client's TLS writes with plain write(): a server that closed must not end the process.
  static const bool pipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)pipeIgnored;
  fuzz::TFuzzInput in(data, size);
  const uint8_t settings = in.Byte();
  fuzz::TSocketPair peer;
  TSsl client(SSL_new(ClientContext()), SSL_free);
  SSL_set_fd(client.get(), peer.Far.Get());
  {
    TWSocket socket(nullptr);
    socket.OnDataAvailable = [&](TObject*, uint16_t) {
      const std::string got = socket.ReceiveString();
      if (!got.empty()) socket.SendString(got);
    };
    socket.Dup(peer.Near.Release());
    socket.AcceptTls(ServerContext());
    const bool secure = (settings & 1) && Step(client.get(), [&] { return SSL_connect(client.get()); });
    while (!in.Empty() && socket.State() == wsConnected) {
      const uint8_t control = in.Byte();
      if (control & 0x80) {
        peer.Far.Close();
        break;
      }
      if (secure && (control & 0x20)) SSL_shutdown(client.get());
      const std::string bytes = in.Bytes(in.Short());
      if (secure && (control & 0x40) && !bytes.empty())
        Step(client.get(), [&] { return SSL_write(client.get(), bytes.data(), static_cast<int>(bytes.size())); });
      else
        fuzz::Offer(peer.Far.Get(), bytes);
      fuzz::PumpUntilRead(peer.Far.Get());
      Drain(client.get(), peer.Far.Get(), secure);
    }
    fuzz::Pump(4);
  }
  fuzz::Pump(2);
  return 0;
}
