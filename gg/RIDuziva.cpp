#include "gg/RIDuziva.h"

#include "gg/GgBytes.h"

namespace ordwin {

TRiDuziva::TRiDuziva(TComponent* owner) : TGgGenericSerwer(owner) { SetPort(kDefaultPort); }

TRiDuziva::~TRiDuziva() {
  MarkDestroying();
  try {
    CloseSocketServer();
  } catch (const std::exception&) {
  }
}

void TRiDuziva::ProcessClientData(TGgClient* client, const std::string& data) {
  std::string& buffer = client->RecvBuffer;
  // When nothing waits from earlier reads (the usual case) the packets are read from the chunk
  // itself, and only an unfinished one is kept: no copy of every byte into the buffer.
  if (!buffer.empty()) buffer += data;
  const std::string& stream = buffer.empty() ? data : buffer;
  size_t start = 0;
  std::string payload;  // one buffer for every packet of the chunk
  auto keepRest = [&] {
    if (&stream == &data)
      buffer.assign(data, start);
    else
      buffer.erase(0, start);
  };
  try {
    while (stream.size() - start >= kPacketHeader) {
      int32_t length = LeBytesToInt(stream, start + 4);
      if (length < 0 || length > kMaxPacketLength) {
        buffer.clear();
        client->Close();
        return;
      }
      if (kPacketHeader + static_cast<size_t>(length) > stream.size() - start) break;
      int32_t type = LeBytesToInt(stream, start);
      if (OnClientCommand) {
        payload.assign(stream, start + kPacketHeader, static_cast<size_t>(length));
        OnClientCommand(client, type, payload);
      }
      start += kPacketHeader + static_cast<size_t>(length);
    }
  } catch (...) {
    keepRest();
    throw;
  }
  keepRest();
}

}  // namespace ordwin
