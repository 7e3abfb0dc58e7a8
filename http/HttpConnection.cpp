#include "http/HttpConnection.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string_view>

#include "http/DocumentFile.h"
#include "net/SelectEvents.h"
#include "net/WSocketResolve.h"

namespace ordwin {

namespace {

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (UpperAscii(text[i]) != UpperAscii(prefix[i])) return false;
  return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoreCase(a, b);
}

// A signed decimal number that fills the whole text and fits in 32 bits.
bool ParseInt32(std::string_view text, int32_t& value) {
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return false;
  }
  int32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  value = v;
  return true;
}

struct THeaderField {
  std::string_view Name;
  std::string THttpConnection::*Value;  // none for the content length
};

// Tried in this order; the first name that starts the line takes the value.
constexpr THeaderField kHeaderFields[] = {
    {"content-type:", &THttpConnection::ReqContentType},
    {"content-length:", nullptr},
    {"Accept:", &THttpConnection::ReqAccept},
    {"Referer:", &THttpConnection::ReqReferer},
    {"Accept-Language:", &THttpConnection::ReqAcceptLanguage},
    {"Accept-Encoding:", &THttpConnection::ReqAcceptEncoding},
    {"User-Agent:", &THttpConnection::ReqUserAgent},
    {"Host:", &THttpConnection::ReqHost},
    {"Connection:", &THttpConnection::ReqConnection},
};

}  // namespace

THttpConnection::THttpConnection(TComponent* owner) : TWSocketClient(owner) {
  SetLineMode(true);
  LineEdit = false;
  SetLineEnd("\n");
  LineLimit = kMaxLineLength;
  OnDataAvailable = [this](TObject* sender, uint16_t error) { ReadRequestData(sender, error); };
  StartWaiting();
}

THttpConnection::~THttpConnection() = default;

// ---- reading a request ----

void THttpConnection::ReadRequestData(TObject*, uint16_t error) {
  if (closing_) {
    ReceiveString();
    return;
  }
  if (serving_) {
    // A request sent before the answer to the one being served (pipelined) waits for its turn;
    // past what one request may take, no more are read and the connection ends after the answer.
    pipelined_ += ReceiveString();
    if (pipelined_.size() > kMaxRequestHead) CloseDelayed();
    return;
  }
  if (Phase == rpBody) {
    if (PostedDataWanted && OnPostedData) {
      OnPostedData(this, error);
      return;
    }
    CurrentLine = ReceiveString();
    return;
  }
  ReadRequestLine(ReceiveString());
}

void THttpConnection::ReadRequestLine(std::string line) {
  CurrentLine = std::move(line);
  if (!CurrentLine.empty() && CurrentLine.back() == '\n') {
    CurrentLine.pop_back();
    if (!CurrentLine.empty() && CurrentLine.back() == '\r') CurrentLine.pop_back();
  }
  if (CurrentLine.size() > static_cast<size_t>(kMaxLineLength)) return RefuseRequest();

  if (Phase == rpRequestLine) {
    // Empty lines before a request line are skipped, as HTTP servers do: some clients end a
    // request with an extra CR LF, and waiting for a header after it would answer nothing.
    if (CurrentLine.empty()) return;
    for (const THeaderField& field : kHeaderFields)
      if (field.Value != nullptr) (this->*field.Value).clear();
    ReqContentLength = 0;
    HeaderLines.clear();
    headBytes_ = CurrentLine.size();
    ParseRequestLine();
    Phase = rpHeaders;
    return;
  }
  if (CurrentLine.empty()) {
    Phase = rpBody;
    waiting_ = false;
    DispatchRequest();
    return;
  }
  headBytes_ += CurrentLine.size();
  if (HeaderLines.size() >= kMaxHeaderLines || headBytes_ > kMaxRequestHead) return RefuseRequest();
  StoreHeaderValue();
  HeaderLines.push_back(CurrentLine);
}

void THttpConnection::ReadPipelined() {
  try {
    while (!pipelined_.empty() && !serving_ && !closing_ && State() == wsConnected) {
      if (Phase == rpBody) {
        pipelined_.clear();  // what follows a request that is not served is dropped, as it comes
        return;
      }
      size_t end = pipelined_.find('\n');
      end = end == std::string::npos ? pipelined_.size() : end + 1;
      std::string line = pipelined_.substr(0, end);
      pipelined_.erase(0, end);
      ReadRequestLine(std::move(line));
    }
  } catch (const std::exception&) {
    // As the read loop does: the request that failed goes no further, and the connection stays.
  }
}

void THttpConnection::ParseRequestLine() {
  std::string_view line(CurrentLine);
  size_t space = line.find(' ');
  Method = UpperCased(line.substr(0, space));

  size_t start = space == std::string_view::npos ? line.size() : space;
  while (start < line.size() && line[start] == ' ') ++start;
  size_t end = std::min(line.find(' ', start), line.size());
  Path.assign(line.substr(start, end - start));
  if (size_t query = Path.find('?'); query != std::string::npos) {
    Params = Path.substr(query + 1);
    Path.resize(query);
  } else {
    Params.clear();
  }

  start = std::min(end + 1, line.size());
  while (start < line.size() && line[start] == ' ') ++start;
  end = std::min(line.find(' ', start), line.size());
  Version = WSocketTrim(UpperCased(line.substr(start, end - start)));
  if (Version.empty()) Version = "HTTP/1.0";
}

void THttpConnection::StoreHeaderValue() {
  size_t colon = CurrentLine.find(':');
  if (colon == std::string::npos) return;
  size_t start = CurrentLine.find_first_not_of(' ', colon + 1);
  std::string_view value = std::string_view(CurrentLine).substr(std::min(start, CurrentLine.size()));
  for (const THeaderField& field : kHeaderFields) {
    if (!StartsWithIgnoreCase(CurrentLine, field.Name)) continue;
    if (field.Value != nullptr)
      (this->*field.Value).assign(value);
    else
      ParseInt32(value, ReqContentLength);  // a bad number leaves the value held before
    return;
  }
}

void THttpConnection::RefuseRequest() {
  refused_ = true;
  if (Phase == rpRequestLine) {
    // Nothing of this request line is known: the reply names no path.
    Method.clear();
    Path.clear();
    Params.clear();
    Version = "HTTP/1.0";
  }
  Phase = rpBody;
  ReplyNotFound();
  CloseDelayed();
}

void THttpConnection::DoLineLimitExceeded(int rcvdLength, bool& clearData) {
  TWSocketClient::DoLineLimitExceeded(rcvdLength, clearData);
  clearData = true;
  if (!closing_ && Phase != rpBody) RefuseRequest();
}

// ---- answering ----

void THttpConnection::DispatchRequest() {
  Document = !Path.empty() && Path[0] == '/' ? DocDir + Path : DocDir + "\\" + Path;
  if (!Document.empty() && Document.back() == '/') Document += DefaultDoc;
  std::replace(Document.begin(), Document.end(), '/', '\\');
  if (Method == "GET") {
    HandleGetOrHead(true);
  } else if (Method == "POST") {
    HandlePost();
  } else if (Method == "HEAD") {
    HandleGetOrHead(false);
  } else {
    ReplyNotFound();
    CloseDelayed();
  }
}

void THttpConnection::HandleGetOrHead(bool withBody) {
  THttpGetFlag flags = hfServeFile;
  if (withBody)
    NotifyGetDocument(flags);
  else
    NotifyHeadDocument(flags);
  if (State() != wsConnected) return;  // the handler closed the connection
  switch (flags) {
    case hfServeFile:
      if (SendDocument(withBody)) return;
      ReplyNotFound();
      CloseDelayed();
      return;
    case hfServeStream:
      StartStreamSend();
      return;
    case hfLeaveOpen:
      return;
    case hfNotFound:
      ReplyNotFound();
      CloseDelayed();
      return;
    default:
      CloseDelayed();
      return;
  }
}

void THttpConnection::HandlePost() {
  THttpGetFlag flags = hfNotFound;
  NotifyPostDocument(flags);
  if (State() != wsConnected) return;
  if (flags == hfNotFound) {
    ReplyNotFound();
    CloseDelayed();
  } else if (flags == hfTakeOver) {
    PostedDataWanted = true;
  }
}

void THttpConnection::ReplyNotFound() {
  std::string body = NotFoundPage(Path);
  std::string header = Version +
                       " 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n";
  if (Method == "HEAD") {
    SendString(header);
    return;
  }
  QueueData(header);
  SendString(body);
}

bool THttpConnection::SendDocument(bool withBody) {
  std::string local = ResolveDocument(DocDir, Document);
  if (local.empty()) return false;
  DocumentStream.reset();
  auto stream = std::make_unique<std::ifstream>(local, std::ios::binary);
  if (!stream->is_open()) return false;
  stream->seekg(0, std::ios::end);
  std::streamoff size = stream->tellg();
  if (size < 0) return false;
  if (withBody) stream->seekg(0);  // without, nothing of it is sent
  DocLastWrite = FileLastWriteTime(local);
  DocMimeType = MimeTypeOf(Document);
  DocumentStream = std::move(stream);
  serving_ = true;
  OnDataSent = [this](TObject*, uint16_t) { SendNextChunk(); };

  std::string header =
      Version + " 200 OK\r\nContent-Type: " + DocMimeType + "\r\nContent-Length: " + std::to_string(size) + "\r\n";
  if (DocLastWrite != 0) header += "Last-Modified: " + FormatHttpDate(DocLastWrite) + " GMT\r\n";
  header += "\r\n";
  QueueData(header);
  Send(nullptr, 0);
  if (withBody) StartStreamSend();
  return true;
}

void THttpConnection::StartStreamSend() {
  if (!DocumentStream) {
    CloseDelayed();
    return;
  }
  serving_ = true;
  OnDataSent = [this](TObject*, uint16_t) { SendNextChunk(); };
  SendNextChunk();
}

void THttpConnection::SendNextChunk() {
  if (!DocumentStream) return;
  if (!ChunkBuffer) ChunkBuffer = std::make_unique<char[]>(kChunkSize);
  DocumentStream->read(ChunkBuffer.get(), kChunkSize);
  std::streamsize n = DocumentStream->gcount();
  if (n > 0) {
    Send(ChunkBuffer.get(), static_cast<int>(n));
    return;
  }
  // The sending direction stays open: a keep-alive connection answers its next request on it,
  // and any other is shut by its close once the queue has drained.
  DocumentStream.reset();
  Post(WM_HTTP_REQUEST_DONE, 0, 0);
}

void THttpConnection::RequestFinished() {
  Phase = rpRequestLine;
  serving_ = false;
  if (!EqualsIgnoreCase(ReqConnection, "Keep-Alive")) {
    CloseDelayed();
    return;
  }
  StartWaiting();
  ReadPipelined();
}

void THttpConnection::StartWaiting() {
  waiting_ = true;
  waitingSince_ = std::chrono::steady_clock::now();
}

bool THttpConnection::WaitedPast(std::chrono::steady_clock::time_point deadline) const {
  return waiting_ && waitingSince_ <= deadline;
}

// ---- closing ----

void THttpConnection::CloseDelayed() {
  closing_ = true;
  TWSocketClient::CloseDelayed();
}

bool THttpConnection::PeerMaySend() const {
  return refused_ || PostedDataWanted || Method == "POST" || ReqContentLength != 0 || LineBufferCount() > 0;
}

void THttpConnection::CloseWhenSent() {
  if (sendingDone_ || DocumentStream || SendQueueSize() > 0) return;  // DoDataSent comes back here
  sendingDone_ = true;
  if (PeerMaySend()) {
    Shutdown(1);  // the peer's own close ends the connection
    StartWaiting();
    return;
  }
  // Nothing is left to send or to read, so closing the handle alone ends the stream in order:
  // a shutdown first would only cost another call.
  DoClose(false, 0);
}

void THttpConnection::DoDataSent(uint16_t error) {
  TWSocketClient::DoDataSent(error);
  if (closing_ && State() == wsConnected) CloseWhenSent();
}

void THttpConnection::HandleNotification(TMessage& msg) {
  if (msg.Msg == WM_HTTP_REQUEST_DONE) return RunGuarded([this] { RequestFinished(); });
  if (msg.Msg == WM_CLOSE_DELAYED && State() == wsConnected) return RunGuarded([this] { CloseWhenSent(); });
  TWSocketClient::HandleNotification(msg);
}

// ---- events ----

void THttpConnection::NotifyGetDocument(THttpGetFlag& flags) {
  if (OnGetDocument) OnGetDocument(this, flags);
}

void THttpConnection::NotifyHeadDocument(THttpGetFlag& flags) {
  if (OnHeadDocument) OnHeadDocument(this, flags);
}

void THttpConnection::NotifyPostDocument(THttpGetFlag& flags) {
  if (OnPostDocument) OnPostDocument(this, flags);
}

}  // namespace ordwin
