#include "gg/RIDuziva.h"

#include "gg/GgBytes.h"

namespace ordwin {

namespace {

constexpr size_t kHeaderLength = 8;

}  // namespace

TRiDuziva::TRiDuziva(TComponent* Owner) : TGgGenericSerwer(Owner) { SetPort(kDefaultPort); }

TRiDuziva::~TRiDuziva() {
  MarkDestroying();
  try {
    CloseSocketServer();
  } catch (const std::exception&) {
  }
}

void TRiDuziva::ProcessClientData(TGgClient* Client, const std::string& Data) {
  std::string& buffer = Client->RecvBuffer;
  buffer += Data;
  // Packets are taken from a moving start and the buffer is cut once, not once per packet.
  size_t start = 0;
  try {
    while (buffer.size() - start >= kHeaderLength) {
      int32_t length = LeBytesToInt(buffer, start + 4);
      if (length < 0 || length > kMaxPacketLength) {
        buffer.clear();
        start = 0;
        Client->Close();
        return;
      }
      if (kHeaderLength + static_cast<size_t>(length) > buffer.size() - start) break;
      int32_t type = LeBytesToInt(buffer, start);
      if (OnClientCommand)
        OnClientCommand(Client, type, buffer.substr(start + kHeaderLength, static_cast<size_t>(length)));
      start += kHeaderLength + static_cast<size_t>(length);
    }
  } catch (...) {
    buffer.erase(0, start);
    throw;
  }
  buffer.erase(0, start);
}

}  // namespace ordwin
