#include "http/HttpResponder.h"

#include <algorithm>
#include <string_view>

namespace ordwin {

namespace {

// Whether a request's query (what follows its "?") has the parameter tls=1.
bool AsksForTls(std::string_view query) {
  for (size_t at = 0; at <= query.size();) {
    size_t end = std::min(query.find('&', at), query.size());
    if (query.substr(at, end - at) == "tls=1") return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

std::string ServerAddressReply(const std::string& address, int port) {
  // The status line is what GG client libraries check first: without it they give up with
  // "invalid http reply" and never log in.
  std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 ";
  reply += address;
  reply += ':';
  reply += std::to_string(port);
  reply += ' ';
  reply += address;
  return reply;
}

THttpResponder::THttpResponder(TAddressSource address, TTlsPortSource tlsPort)
    : address_(std::move(address)), tlsPort_(std::move(tlsPort)), httpWss_(std::make_unique<THttpServer>(nullptr)) {
  // The server's defaults are the window's settings: port 80 on every address, "c:\\wwwroot" with
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
  const int tlsPort = tlsPort_ && AsksForTls(client->Params) ? tlsPort_() : 0;
  client->SendString(ServerAddressReply(address_(), tlsPort != 0 ? tlsPort : kGgPort));
}

}  // namespace ordwin
