// The GG server as clients meet it: framing and the session's dispatch, with two to four
// clients of any dialect on one session. Input: the client count, then records of a target
// byte (the client; bit 7 ends its connection) and a 16-bit length with that many bytes, which
// that client sends.
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "gg/GgSession.h"
#include "gg/RIDuziva.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  fuzz::TFuzzInput in(data, size);
  {
    TGgSession session([](std::string_view) {});
    TRiDuziva& gg = session.RIDuziva();
    TWSocketServer* server = gg.SocketServer();
    const size_t count = 2 + in.Byte() % 3;
    std::vector<fuzz::TSocketPair> peers(count);
    for (fuzz::TSocketPair& peer : peers) {
      // As the listener's accept does it: the client object, its connection, the connect event.
      auto* client = new TGgClient(server);
      client->Dup(peer.Near.Release());
      server->OnClientConnect(server, client, 0);
    }
    fuzz::Pump(2);
    while (!in.Empty()) {
      uint8_t target = in.Byte();
      fuzz::TSocketPair& peer = peers[target % count];
      if (!peer.Far.Valid()) continue;
      if (target & 0x80) {
        peer.Far.Close();
        fuzz::Pump(3);
        continue;
      }
      std::string chunk = in.Bytes(in.Short());
      fuzz::Offer(peer.Far.Get(), chunk);
      fuzz::PumpUntilRead(peer.Far.Get());
      for (fuzz::TSocketPair& p : peers)
        if (p.Far.Valid()) fuzz::Drain(p.Far.Get());
    }
    fuzz::Pump(3);
  }
  fuzz::Pump(3);
  return 0;
}
