// The GG server as clients meet it: framing and the session's dispatch, with two to four
// clients of any dialect on one session. Input: the client count, then records of a target
// byte (the client; bit 7 ends its connection, bit 6 gives it a new one while the old one stays
// open and is never read again, as a client that vanished and came back) and a 16-bit length
// with that many bytes, which that client sends. No packet the server sends may pass the most a
// client takes.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "gg/GgBytes.h"
#include "gg/GgServerPackets.h"
#include "gg/GgSession.h"
#include "gg/RIDuziva.h"

namespace {

using namespace ordwin;

constexpr int kMaxReconnects = 8;

struct TPeer {
  fuzz::TSocketPair Pair;
  std::string Received;  // what came to the peer, from the first packet not yet whole
};

// As the listener's accept does it: the client object, its connection, the connect event.
void Attach(TWSocketServer* server, TPeer& peer) {
  auto* client = new TGgClient(server);
  client->Dup(peer.Pair.Near.Release());
  server->OnClientConnect(server, client, 0);
}

// Reads what came to the peer and checks every whole packet's length.
void Check(TPeer& peer) {
  char buffer[65536];
  for (ssize_t n; (n = ::recv(peer.Pair.Far.Get(), buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;)
    peer.Received.append(buffer, static_cast<size_t>(n));
  size_t at = 0;
  while (peer.Received.size() - at >= kPacketHeader) {
    auto length = static_cast<uint32_t>(LeBytesToInt(peer.Received, at + 4));
    if (length > kMaxPayload) std::abort();
    if (peer.Received.size() - at - kPacketHeader < length) break;
    at += kPacketHeader + length;
  }
  peer.Received.erase(0, at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput in(data, size);
  {
    TGgSession session([](std::string_view, size_t) {});
    TWSocketServer* server = session.RIDuziva().SocketServer();
    const size_t count = 2 + in.Byte() % 3;
    std::vector<TPeer> peers(count);
    std::vector<TPeer> vanished;
    for (TPeer& peer : peers) Attach(server, peer);
    fuzz::Pump(2);
    while (!in.Empty()) {
      uint8_t target = in.Byte();
      TPeer& peer = peers[(target & 0x3F) % count];
      if ((target & 0x40) && vanished.size() < kMaxReconnects) {
        vanished.push_back(std::move(peer));
        peer = TPeer();
        Attach(server, peer);
        fuzz::Pump(2);
      }
      if (!peer.Pair.Far.Valid()) continue;
      if (target & 0x80) {
        peer.Pair.Far.Close();
        fuzz::Pump(3);
        continue;
      }
      std::string chunk = in.Bytes(in.Short());
      fuzz::Offer(peer.Pair.Far.Get(), chunk);
      fuzz::PumpUntilRead(peer.Pair.Far.Get());
      for (TPeer& p : peers)
        if (p.Pair.Far.Valid()) Check(p);
    }
    fuzz::Pump(3);
  }
  fuzz::Pump(3);
  return 0;
}
