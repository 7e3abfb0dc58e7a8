#include "http/HttpResponder.h"

#include "gg/GgPort.h"

namespace ordwin {

std::string ServerAddressReply(const std::string& address) {
  // The status line is what GG client libraries check first: without it they give up with
  // "invalid http reply" and never log in.
  std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 ";
  reply += address;
  reply += ':';
  reply += std::to_string(kGgPort);
  reply += ' ';
  reply += address;
  return reply;
}

THttpResponder::THttpResponder(TAddressSource address)
    : address_(std::move(address)), httpWss_(std::make_unique<THttpServer>(nullptr)) {
  // The server's defaults are the window's settings: port 80 on every address, "c:\wwwroot" with
  // "index.html", no linger set.
  THttpServer& h = *httpWss_;
  h.OnGetDocument = [this](TObject* sender, THttpConnection* client, THttpGetFlag& flags) {
    HttpWSSGetDocument(sender, client, flags);
  };
  h.OnHeadDocument = [this](TObject* sender, THttpConnection* client, THttpGetFlag& flags) {
    HttpWSSHeadDocument(sender, client, flags);
  };
  h.OnPostDocument = [this](TObject* sender, THttpConnection* client, THttpGetFlag& flags) {
    HttpWSSPostDocument(sender, client, flags);
  };
  h.OnPostedData = [this](TObject* sender, THttpConnection* client, uint16_t error) {
    HttpWSSPostedData(sender, client, error);
  };
}

THttpResponder::~THttpResponder() = default;

void THttpResponder::Start() { httpWss_->Start(); }

void THttpResponder::HttpWSSGetDocument(TObject*, THttpConnection* client, THttpGetFlag& flags) {
  flags = hfTakeOver;
  client->SendString(ServerAddressReply(address_()));
}

}  // namespace ordwin
