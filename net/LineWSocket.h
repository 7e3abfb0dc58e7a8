// TCustomLineWSocket: the line layer of the socket object. With LineMode on it collects received
// bytes in its own buffer and offers them to OnDataAvailable one complete line at a time; with
// LineMode off it passes data through. It owns its line buffer; the buffer is freed at close.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/TlsWSocket.h"

namespace ordwin {

// Posted to the object itself when LineMode changes with bytes buffered: offers them again.
constexpr uint32_t WM_TRIGGER_DATA_AVAILABLE = 1044;

// Fired when more than LineLimit bytes wait without a line end. Leaving clearData true drops
// them all; setting it false keeps them until the next read checks again.
using TLineLimitEvent = TEvent<void(TObject* sender, int rcvdLength, bool& clearData)>;

class TCustomLineWSocket : public TCustomTlsWSocket {
public:
  explicit TCustomLineWSocket(TComponent* owner);
  ~TCustomLineWSocket() override;

  // Deliver complete lines instead of raw reads. Switching with bytes buffered posts one
  // notification 1044; the switch takes effect for the next read at once and the buffered bytes
  // are offered on a later turn. Safe to call inside a handler, also in the middle of a line:
  // the unread rest of that line and everything after it are then offered raw, in order.
  bool LineMode() const { return lineMode_; }
  virtual void SetLineMode(bool value);
  // The bytes that end a line (default CR LF). Empty behaves as LineMode off.
  const std::string& LineEnd() const { return lineEnd_; }
  void SetLineEnd(const std::string& value);
  // Most bytes tolerated without a line end; 0 or less: no limit. Past it the buffered bytes are
  // dropped unless OnLineLimitExceeded keeps them.
  int LineLimit = 65536;
  // Send every kept byte back to the peer.
  bool LineEcho = false;
  // Apply backspace and tab editing to received bytes (see EditLine).
  bool LineEdit = false;
  TLineLimitEvent OnLineLimitExceeded;

  // Read-outs of the line buffer: allocated bytes, bytes held, and the unread bytes of the line
  // being offered (0 while none is).
  int LineBufferSize() const { return size_; }
  int LineBufferCount() const { return count_; }
  int PendingLineLength() const { return pending_; }

  // The longest single platform read into the line buffer, so that a peer flooding one endless
  // line costs at most LineLimit plus one read; and the room a read offers at least.
  static constexpr int kMaxLineRead = 65536;
  static constexpr int kMinLineRead = 1024;

protected:
  // Number 1044 offers the buffered bytes; an exception goes to HandleBgException.
  void HandleNotification(TMessage& msg) override;
  // In line mode: the unread bytes of the line being offered (0 when none is). Otherwise the
  // bytes still buffered from line mode, or else the platform's count.
  int GetRcvdCount() override;
  // In line mode: one platform read into the line buffer, then each complete line is offered
  // through OnDataAvailable until it has been read whole. Always reports a handler. While the
  // SOCKS layer negotiates, its own.
  bool DoDataAvailable(uint16_t error) override;
  // Offers complete lines still buffered, then the unterminated rest as a last line (with
  // LineMode off: the bytes still held from line mode), then frees the buffer and fires
  // OnSessionClosed. An exception from OnDataAvailable here is discarded, as the read loop does,
  // so OnSessionClosed still fires.
  void DoSessionClosed(uint16_t error) override;
  // Reads the line being offered, or bytes buffered from line mode, before the platform's.
  int RawReceive(void* buffer, int bufferSize, int flags) override;

  virtual void DoLineLimitExceeded(int rcvdLength, bool& clearData);
  // Edits the len bytes just received at the end of the buffer: backspace (8) erases the byte
  // before it, also one received earlier; tab (9) becomes spaces up to the next multiple of 8;
  // with LineEcho every kept byte is sent back and a backspace as 8, 32, 8. Updates len to the
  // count of bytes from the lowest changed position on.
  virtual void EditLine(int& len);

private:
  bool LineActive() const { return lineMode_ && !lineEnd_.empty() && !SocksNegotiating(); }
  void ReadIntoLineBuffer(int& len);
  // Offers every complete line held; returns false when the buffer went away meanwhile.
  bool DeliverLines();
  void CheckLineLimit();
  // Offers what was buffered when LineMode changed (notification 1044).
  void DeliverBuffered();
  // Offers bytes held from line mode through OnDataAvailable while the handler takes some.
  void OfferHeldRaw(bool dropUnheard);
  void Reserve(int needed);
  void Compact();
  void Consume(int n);
  void ClearLineBuffer();
  void FreeLineBuffer();

  std::unique_ptr<char[]> buf_;
  int size_ = 0;      // LineBufferSize
  int start_ = 0;     // offset of the first held byte
  int count_ = 0;     // LineBufferCount
  int pending_ = 0;   // PendingLineLength
  int scanFrom_ = 0;  // no line end starts before this offset of the held bytes
  bool lineMode_ = false;
  std::string lineEnd_ = "\r\n";
  bool clearData_ = false;
  bool platformRead_ = false;  // RawReceive goes to the platform while set
  uint64_t bufferEpoch_ = 0;   // changes whenever the buffer is freed
};

}  // namespace ordwin
