// TRiDuziva: the GG listener of the window, on port 8074, with the GG packet framing: each
// connection's byte stream is cut into packets of an 8-byte header (type and length, 32-bit
// little-endian) and the payload, each raised as OnClientCommand.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "gg/GgGenericSerwer.h"
#include "gg/GgPort.h"

namespace ordwin {

// A packet past its connection's bound (see TRiDuziva): the client, the type, the length its
// header declared and, for a message, its first bytes (empty for any other packet).
using TGgLongPacketEvent =
    std::function<void(TGgClient* sender, int32_t type, int32_t length, const std::string& head)>;

class TRiDuziva : public TGgGenericSerwer {
public:
  // The longest packet held whole, by what the connection speaks: no 6.0 packet is longer, and
  // a newer message carries its HTML and its plain part, each up to what one packet to a newer
  // client holds (65,535 bytes), in one packet.
  static constexpr int32_t kMaxPacketLength = 65536;
  static constexpr int32_t kMaxNewerPacketLength = 2 * 65536;
  // Before its login a connection sends nothing but the login, at most about 530 bytes.
  static constexpr int32_t kMaxPacketBeforeLogin = 4096;
  // What is kept of a longer message: the 6.0 message's head and the 2,000 bytes its text is
  // looked for in, more than the head of a newer one.
  static constexpr size_t kLongMessageHead = 12 + 2000;

  explicit TRiDuziva(TComponent* owner);
  ~TRiDuziva() override;

  // The longest packet the framing holds whole for this client.
  static int32_t MaxPacketLength(const TGgClient& client);

  // A packet past MaxPacketLength is never held. A message (types 11, 0x2d, 0x7d) is read and
  // dropped as it comes, but for its first kLongMessageHead bytes, and raised here once it has
  // come whole, in stream order; the connection goes on. Any other packet, and a negative
  // length, is raised here with an empty head as soon as its header is read, and the connection
  // is closed. An exception from the handler is discarded: the packet is not held to be raised
  // again.
  TGgLongPacketEvent OnClientLongPacket;

protected:
  // Appends data to the client's RecvBuffer and raises OnClientCommand for every whole packet,
  // in stream order, removing each after its handler returned. A handler that raises leaves
  // its packet in front, to be delivered again with the next chunk.
  void ProcessClientData(TGgClient* client, const std::string& data) override;

private:
  // Takes the bytes of the long packet being dropped from the front of data and raises it once
  // it has come whole; returns what follows it.
  std::string_view DropLongPacket(TGgClient* client, std::string_view data);
  void RaiseLongPacket(TGgClient* client, int32_t type, int32_t length, const std::string& head);
};

}  // namespace ordwin
