#include "http/HttpResponder.h"

namespace ordwin {

std::string ServerAddressReply(const std::string& Address) {
  // The status line is what GG client libraries check first: without it they give up with
  // "invalid http reply" and never log in.
  std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 ";
  reply += Address;
  reply += ':';
  reply += std::to_string(THttpResponder::kGgPort);
  reply += ' ';
  reply += Address;
  return reply;
}

THttpResponder::THttpResponder(TAddressSource Address)
    : address_(std::move(Address)), httpWss_(std::make_unique<THttpServer>(nullptr)) {
  THttpServer& h = *httpWss_;
  h.SetPort("80");
  h.SetAddr("0.0.0.0");
  h.DocDir = "c:\\wwwroot";
  h.DefaultDoc = "index.html";
  h.LingerOnOff = wsLingerNoSet;
  h.LingerTimeout = 0;
  h.OnGetDocument = [this](TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags) {
    HttpWSSGetDocument(Sender, Client, Flags);
  };
  h.OnHeadDocument = [this](TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags) {
    HttpWSSHeadDocument(Sender, Client, Flags);
  };
  h.OnPostDocument = [this](TObject* Sender, THttpConnection* Client, THttpGetFlag& Flags) {
    HttpWSSPostDocument(Sender, Client, Flags);
  };
  h.OnPostedData = [this](TObject* Sender, THttpConnection* Client, uint16_t Error) {
    HttpWSSPostedData(Sender, Client, Error);
  };
}

THttpResponder::~THttpResponder() = default;

void THttpResponder::Start() { httpWss_->Start(); }

void THttpResponder::HttpWSSGetDocument(TObject*, THttpConnection* Client, THttpGetFlag& Flags) {
  Flags = hfTakeOver;
  Client->SendString(ServerAddressReply(address_()));
}

void THttpResponder::HttpWSSHeadDocument(TObject*, THttpConnection*, THttpGetFlag&) {}

void THttpResponder::HttpWSSPostDocument(TObject*, THttpConnection*, THttpGetFlag&) {}

void THttpResponder::HttpWSSPostedData(TObject*, THttpConnection*, uint16_t) {}

}  // namespace ordwin
