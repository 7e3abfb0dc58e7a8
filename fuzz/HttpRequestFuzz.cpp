// The HTTP request reader with the server-address responder behind it, as a client meets them.
// Input: records of a flag byte (bit 7: the client closes its end; bit 6: it reads nothing back)
// and a 16-bit length with that many bytes, which the client sends.
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "http/HttpConnection.h"
#include "http/HttpResponder.h"

namespace {

ordwin::THttpResponder& Responder() {
  static ordwin::THttpResponder* responder = [] {
    auto* r = new ordwin::THttpResponder([] { return std::string("192.168.1.5"); });
    r->HttpWSS().SetAddr("127.0.0.1");
    r->HttpWSS().SetPort("0");
    r->HttpWSS().DocDir = "/nonexistent-ordwin-fuzz";
    r->Start();
    return r;
  }();
  return *responder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  TWSocketServer* server = Responder().HttpWSS().SocketServer();
  fuzz::TFuzzInput in(data, size);
  fuzz::TSocketPair peer;
  {
    // As the listener's accept does it: the client object, its connection, the connect event.
    TWSocketClient* client = server->ClientClass(server);
    client->Server = server;
    client->Dup(peer.Near.Release());
    server->OnClientConnect(server, client, 0);
  }
  bool reading = true;
  while (!in.Empty() && peer.Far.Valid()) {
    uint8_t flags = in.Byte();
    if (flags & 0x80) {
      peer.Far.Close();
      break;
    }
    reading = (flags & 0x40) == 0;
    fuzz::Offer(peer.Far.Get(), in.Bytes(in.Short()));
    fuzz::PumpUntilRead(peer.Far.Get());
    if (reading) fuzz::Drain(peer.Far.Get());
  }
  peer.Far.Close();
  for (int i = 0; i < 64 && server->CountClients() > 0; ++i) fuzz::Pump(1);
  for (int i = 0; i < server->CountClients(); ++i) server->ClientAt(i)->Abort();
  fuzz::Pump(3);
  return 0;
}
