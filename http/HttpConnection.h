// THttpConnection: one accepted client of THttpServer, created and destroyed by the server's
// listening socket. Reads a request line by line, keeps nine header values, and at the blank line
// hands GET, HEAD and POST to events that decide the answer; left to itself it serves a file from
// DocDir with a minimal HTTP/1.0 reply or answers 404. One request at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpFormat.h"
#include "net/WSocketS.h"

namespace ordwin {

// What a document handler tells the connection to do next. After GET or HEAD: hfServeFile serves
// Document from disk (404 and close when there is no such file), hfServeStream sends
// DocumentStream as the body, hfLeaveOpen leaves reply and connection to the handler, hfNotFound
// answers 404 and closes, hfTakeOver (or any higher value) closes after the reply the handler
// queued. After POST: hfNotFound answers 404 and closes, hfTakeOver sends later data to
// OnPostedData, anything else does nothing.
enum THttpGetFlag : uint8_t { hfServeFile, hfServeStream, hfLeaveOpen, hfNotFound, hfTakeOver };

enum TRequestPhase : uint8_t { rpRequestLine, rpHeaders, rpBody };

using THttpGetConnEvent = std::function<void(TObject* sender, THttpGetFlag& flags)>;

// Posted to the connection itself when a served document has gone out.
constexpr uint32_t WM_HTTP_REQUEST_DONE = 1064;

class THttpConnection : public TWSocketClient {
public:
  // Past any bound the request gets the 404 reply and the connection closes: no real client
  // sends more header lines, a longer line or a longer head (a GG client's is 118 bytes, a
  // browser's a few hundred), and so a connection's memory stays that of one request.
  static constexpr size_t kMaxHeaderLines = 100;
  static constexpr int kMaxLineLength = 8192;
  static constexpr size_t kMaxRequestHead = 16384;

  // Line mode on, lines ending in LF, no line editing; reads requests from the start.
  explicit THttpConnection(TComponent* owner);
  ~THttpConnection() override;

  // ---- the request, as the reader leaves it ----
  std::string CurrentLine;  // the line last read, without its line end
  std::string Method;       // upper-cased
  std::string Version;      // upper-cased; "HTTP/1.0" when the request line has none
  std::string Path;         // the request target before the first "?"
  std::string Params;       // after the first "?"
  // The header lines of the current request as received (line end removed), at most
  // kMaxHeaderLines and kMaxRequestHead bytes with the request line; cleared by the next
  // request line.
  std::vector<std::string> HeaderLines;
  TRequestPhase Phase = rpRequestLine;
  std::string DocDir;      // copied from the server on accept
  std::string DefaultDoc;  // appended to a path that ends in "/"
  std::string Document;    // DocDir and Path, in Windows form (backslashes)
  // The document going out; a handler that answers hfServeStream places its own here first.
  std::unique_ptr<std::istream> DocumentStream;
  std::unique_ptr<char[]> ChunkBuffer;  // one send chunk, allocated on first use
  TDateTime DocLastWrite = 0;           // UTC; 0 when the file was not found
  std::string DocMimeType;
  int32_t ReqContentLength = 0;
  std::string ReqContentType, ReqAccept, ReqReferer, ReqAcceptLanguage, ReqAcceptEncoding, ReqUserAgent, ReqHost,
      ReqConnection;
  bool PostedDataWanted = false;  // a POST handler took the request over

  // Raised with the connection as Sender when a request's header is complete. Flags comes in as
  // hfServeFile (GET, HEAD) or hfNotFound (POST).
  THttpGetConnEvent OnGetDocument;
  THttpGetConnEvent OnHeadDocument;
  THttpGetConnEvent OnPostDocument;
  // Data that arrives after a POST handler took the request over; the handler reads it.
  TDataAvailable OnPostedData;

  // The 404 header and page (the header alone for HEAD); the caller closes.
  void ReplyNotFound();
  // Serves Document from disk with its 200 header, the body only when withBody. False, with
  // nothing sent, when Document names no readable regular file inside DocDir.
  bool SendDocument(bool withBody);
  // Sends DocumentStream as the body, one chunk per drained send queue; closes when there is
  // no stream.
  void StartStreamSend();

  // Whether the connection has waited on its peer since deadline or before: for a whole
  // request (from the accept, or from the end of the answer before it on a kept-alive
  // connection), or for its end after the last answer. Not while a request is answered.
  bool WaitedPast(std::chrono::steady_clock::time_point deadline) const;

  // Closes once everything queued has gone out. Where the peer may still be sending (a body, a
  // request cut off at a bound, bytes not yet read), only the sending direction is shut and what
  // arrives is read and dropped until the peer closes its end: a close with input unread would
  // answer it with a reset, which can destroy the reply on its way. From the call on, nothing
  // more is read as a request. Safe inside a handler.
  void CloseDelayed() override;

protected:
  // The connection's own OnDataAvailable handler.
  void ReadRequestData(TObject* sender, uint16_t error);
  // The OnDataSent handler while a document goes out: the next chunk, or the end of the request.
  void SendNextChunk();
  virtual void NotifyGetDocument(THttpGetFlag& flags);
  virtual void NotifyHeadDocument(THttpGetFlag& flags);
  virtual void NotifyPostDocument(THttpGetFlag& flags);

  // Number 1064 ends the request (RequestFinished); 1028 is the graceful close above. An
  // exception goes to HandleBgException.
  void HandleNotification(TMessage& msg) override;
  // The inherited step (OnDataSent), then the shutdown a close waits for.
  void DoDataSent(uint16_t error) override;
  // An endless line is dropped, and while a request is read it gets the 404 reply and closes.
  void DoLineLimitExceeded(int rcvdLength, bool& clearData) override;

private:
  // One line of a request (its line end included), read from the socket or held from before.
  void ReadRequestLine(std::string line);
  // Reads the lines that came while the last request was answered, until one is answered in
  // turn.
  void ReadPipelined();
  void StartWaiting();
  void ParseRequestLine();
  void StoreHeaderValue();
  void DispatchRequest();
  void HandleGetOrHead(bool withBody);
  void HandlePost();
  void RequestFinished();
  // A request past the bounds: 404 reply, then close.
  void RefuseRequest();
  // The close that CloseDelayed asked for, once nothing waits to be sent.
  void CloseWhenSent();
  bool PeerMaySend() const;

  bool closing_ = false;  // CloseDelayed was called: input is dropped
  bool sendingDone_ = false;
  bool refused_ = false;
  bool serving_ = false;  // a document goes out: the next request waits in pipelined_
  bool waiting_ = false;  // see WaitedPast
  size_t headBytes_ = 0;  // of the request being read
  std::chrono::steady_clock::time_point waitingSince_;
  std::string pipelined_;
};

}  // namespace ordwin
