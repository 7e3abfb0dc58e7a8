// THttpResponder: the window's HTTP handlers, the server-address responder. Owns the HTTP server
// HttpWSS (port 80) and answers every GET, whatever its path, with the address of this PC's GG
// server, read from the address box at the moment of each request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gg/GgPort.h"
#include "http/HttpSrv.h"

namespace ordwin {

class THttpResponder final {
public:
  // The address box's current text in the system's 8-bit character set (Windows-1250).
  using TAddressSource = std::function<std::string()>;
  // The port of GG over TLS while it runs, else 0.
  using TTlsPortSource = std::function<int()>;

  // A GET whose query has tls=1 (a GG client that asks for encryption) is answered with the
  // port tlsPort gives while that is not 0, every other GET with kGgPort.
  explicit THttpResponder(TAddressSource address, TTlsPortSource tlsPort = nullptr);
  // Destroys HttpWSS, which frees its listening socket and every connection.
  ~THttpResponder();
  THttpResponder(const THttpResponder&) = delete;
  THttpResponder& operator=(const THttpResponder&) = delete;

  // Starts HttpWSS; a port that cannot be opened raises ESocketException.
  void Start();
  THttpServer& HttpWSS() const { return *httpWss_; }

private:
  // The server's GET event: queues the reply and has the connection close once it has gone out.
  void HttpWSSGetDocument(TObject* sender, THttpConnection* client, THttpGetFlag& flags);

  // ---- Published; wired to the server's other document events, and they do nothing ----
  // HEAD is left to the file serving of the connection, POST to its 404 reply.
  void HttpWSSHeadDocument(TObject*, THttpConnection*, THttpGetFlag&) {}
  void HttpWSSPostDocument(TObject*, THttpConnection*, THttpGetFlag&) {}
  void HttpWSSPostedData(TObject*, THttpConnection*, uint16_t) {}

  TAddressSource address_;
  TTlsPortSource tlsPort_;
  std::unique_ptr<THttpServer> httpWss_;
};

// The whole reply to a GET for the given address (Windows-1250 bytes, used unchanged): a status
// line, the content type, a blank line and "0 0 A:8074 A" (kGgPort, or the port given; the GG
// listener's own port is not read), with no line end after it.
std::string ServerAddressReply(const std::string& address, int port = kGgPort);

}  // namespace ordwin
