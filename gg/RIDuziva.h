// TRiDuziva: the GG listener of the window, on port 8074, with the GG packet framing: each
// connection's byte stream is cut into packets of an 8-byte header (type and length, 32-bit
// little-endian) and the payload, each raised as OnClientCommand.
#pragma once

#include "gg/GgGenericSerwer.h"

namespace ordwin {

class TRiDuziva : public TGgGenericSerwer {
public:
  // Packets longer than this close their connection: no GG client sends one, and waiting for
  // it would let one connection hold any amount of memory.
  static constexpr int32_t kMaxPacketLength = 65536;
  static constexpr int32_t kDefaultPort = 8074;

  explicit TRiDuziva(TComponent* owner);
  ~TRiDuziva() override;

protected:
  // Appends data to the client's RecvBuffer and raises OnClientCommand for every whole packet,
  // in stream order, removing each after its handler returned. A handler that raises leaves
  // its packet in front, to be delivered again with the next chunk. A length field that is
  // negative or past kMaxPacketLength closes the connection and drops what it sent.
  void ProcessClientData(TGgClient* client, const std::string& data) override;
};

}  // namespace ordwin
