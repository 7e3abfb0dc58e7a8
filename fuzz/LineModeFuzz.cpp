// Line mode with LineEdit and LineEcho as a peer meets it. Input: a settings byte (edit, echo,
// the line end, read sizes), the line limit, then records of a control byte (bit 7: the peer
// closes; bit 6: line mode switches; bit 5: the next handler call closes) and a 16-bit length
// with that many bytes, which the peer sends. Each handler call reads as many bytes as the
// next read size says.
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "net/WSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  fuzz::TFuzzInput in(data, size);
  const uint8_t settings = in.Byte();
  static const char* const kLineEnds[] = {"\r\n", "\n", "x", ""};
  fuzz::TSocketPair peer;
  {
    TWSocket socket(nullptr);
    socket.LineEdit = settings & 1;
    socket.LineEcho = settings & 2;
    socket.SetLineEnd(kLineEnds[(settings >> 2) & 3]);
    socket.LineLimit = in.Short() % 2048;
    socket.SetLineMode(true);
    const int readSize = 1 + ((settings >> 4) & 15) * 17;
    bool closeNext = false;
    socket.OnDataAvailable = [&](TObject*, uint16_t) {
      char buffer[512];
      socket.Receive(buffer, readSize);
      if (closeNext) {
        closeNext = false;
        socket.Close();
      }
    };
    socket.OnLineLimitExceeded = [&](TObject*, int, bool& clearData) { clearData = (settings & 0x40) == 0; };
    socket.Dup(peer.Near.Release());
    while (!in.Empty() && socket.State() == wsConnected) {
      uint8_t control = in.Byte();
      if (control & 0x80) {
        peer.Far.Close();
        break;
      }
      if (control & 0x40) socket.SetLineMode(!socket.LineMode());
      closeNext = control & 0x20;
      fuzz::Offer(peer.Far.Get(), in.Bytes(in.Short()));
      fuzz::PumpUntilRead(peer.Far.Get());
      fuzz::Drain(peer.Far.Get());
    }
    fuzz::Pump(4);
  }
  fuzz::Pump(2);
  return 0;
}
