#include "gg/RIDuziva.h"

#include <algorithm>

#include "gg/GgBytes.h"
#include "gg/GgPacketTypes.h"

namespace ordwin {

namespace {

constexpr size_t kKeptReceiveRoom = 16384;

bool IsMessage(int32_t type) {
  return type == ggpacket::kSendMsg || type == ggpacket::kSendMsg80 || type == ggpacket::kSendMsg110;
}

}  // namespace

TRiDuziva::TRiDuziva(TComponent* owner) : TGgGenericSerwer(owner) { SetPort(kGgPort); }

TRiDuziva::~TRiDuziva() {
  MarkDestroying();
  try {
    CloseSocketServer();
  } catch (const std::exception&) {
  }
}

int32_t TRiDuziva::MaxPacketLength(const TGgClient& client) {
  if (!client.LoggedIn) return kMaxPacketBeforeLogin;
  return IsNewer(client.Dialect) ? kMaxNewerPacketLength : kMaxPacketLength;
}

void TRiDuziva::ProcessClientData(TGgClient* client, const std::string& data) {
  std::string_view chunk(data);
  if (client->LongPacket) {
    chunk = DropLongPacket(client, chunk);
    if (client->LongPacket || chunk.empty()) return;
  }
  std::string& buffer = client->RecvBuffer;
  // When nothing waits from earlier reads (the usual case) the packets are read from the chunk
  // itself, and only an unfinished one is kept: no copy of every byte into the buffer.
  if (!buffer.empty()) buffer += chunk;
  std::string_view stream = buffer.empty() ? chunk : std::string_view(buffer);
  size_t start = 0;
  auto keepRest = [&] {
    if (stream.data() != buffer.data())
      buffer.assign(stream.substr(start));
    else
      buffer.erase(0, start);
    // A chunk is what the platform held, megabytes at times: the room it took is given back, so
    // that a connection keeps no more than the packet it waits for.
    if (buffer.capacity() > buffer.size() + kKeptReceiveRoom) buffer.shrink_to_fit();
  };
  try {
    while (stream.size() - start >= kPacketHeader) {
      int32_t length = LeBytesToInt(stream, start + 4);
      int32_t type = LeBytesToInt(stream, start);
      if (length < 0 || length > MaxPacketLength(*client)) {
        if (length < 0 || !IsMessage(type)) {
          buffer.clear();
          RaiseLongPacket(client, type, length, std::string());
          client->Close();
          return;
        }
        client->LongPacket = std::make_unique<TGgClient::TLongPacket>(
            TGgClient::TLongPacket{type, length, static_cast<uint32_t>(length), {}});
        std::string rest(DropLongPacket(client, stream.substr(start + kPacketHeader)));
        buffer.clear();
        if (client->LongPacket) return;
        // What came behind it is framed as a chunk of its own.
        buffer = std::move(rest);
        stream = buffer;
        start = 0;
        continue;
      }
      if (kPacketHeader + static_cast<size_t>(length) > stream.size() - start) break;
      // The payload is handed on where it lies, in the chunk or the buffer, neither of which
      // changes until the handler returns.
      if (OnClientCommand)
        OnClientCommand(client, type, stream.substr(start + kPacketHeader, static_cast<size_t>(length)));
      start += kPacketHeader + static_cast<size_t>(length);
    }
  } catch (...) {
    keepRest();
    throw;
  }
  keepRest();
}

std::string_view TRiDuziva::DropLongPacket(TGgClient* client, std::string_view data) {
  TGgClient::TLongPacket& packet = *client->LongPacket;
  size_t take = std::min<size_t>(packet.Left, data.size());
  if (packet.Head.size() < kLongMessageHead)
    packet.Head.append(data.substr(0, std::min(take, kLongMessageHead - packet.Head.size())));
  packet.Left -= static_cast<uint32_t>(take);
  data.remove_prefix(take);
  if (packet.Left > 0) return data;
  std::unique_ptr<TGgClient::TLongPacket> whole = std::move(client->LongPacket);
  RaiseLongPacket(client, whole->Type, whole->Length, whole->Head);
  return data;
}

void TRiDuziva::RaiseLongPacket(TGgClient* client, int32_t type, int32_t length, const std::string& head) {
  try {
    if (OnClientLongPacket) OnClientLongPacket(client, type, length, head);
  } catch (const std::exception&) {
    // The packet is gone already: it cannot be delivered again as a held one would be.
  }
}

}  // namespace ordwin
