#include "net/TlsSession.h"

#include <algorithm>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/Exception.h"

namespace ordwin {

namespace {

// Room an emptied buffer keeps; one that grew past it in a burst gives its room back.
constexpr size_t kKeptRoom = 16384;

}  // namespace

TTlsSession::TTlsSession(std::shared_ptr<const TTlsContext> context) : context_(std::move(context)) {
  ERR_clear_error();
  ssl_ = SSL_new(context_->Native());
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
    BIO_free(in_);
    BIO_free(out_);
    SSL_free(ssl_);
    throw Exception("cannot start TLS: " + TakeTlsErrorText());
  }
  // An empty input asks for more instead of reading as the end of the stream.
  BIO_set_mem_eof_return(in_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
}

TTlsSession::~TTlsSession() { SSL_free(ssl_); }

bool TTlsSession::Receive(const char* data, size_t length) {
  if (Failed()) return false;
  if (length > 0 && BIO_write(in_, data, static_cast<int>(length)) != static_cast<int>(length)) {
    error_ = "out of memory";
    return false;
  }
  Advance();
  return !Failed();
}

void TTlsSession::Advance() {
  ERR_clear_error();
  if (handshaking_) {
    int result = SSL_do_handshake(ssl_);
    if (result != 1) {
      if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) Fail();
      return CollectOutput();
    }
    handshaking_ = false;
  }
  while (!peerClosed_) {
    size_t at = plaintext_.size();
    plaintext_.resize(at + kRecordLimit);
    int n = SSL_read(ssl_, plaintext_.data() + at, static_cast<int>(kRecordLimit));
    plaintext_.resize(at + static_cast<size_t>(std::max(n, 0)));
    if (n > 0) continue;
    int error = SSL_get_error(ssl_, n);
    if (error == SSL_ERROR_ZERO_RETURN)
      peerClosed_ = true;
    else if (error != SSL_ERROR_WANT_READ)
      Fail();
    break;
  }
  CollectOutput();
}

void TTlsSession::Fail() {
  error_ = TakeTlsErrorText();
  if (error_.empty()) error_ = "protocol error";
}

size_t TTlsSession::Encrypt(const char* data, size_t length) {
  if (handshaking_ || Failed() || length == 0) return 0;
  ERR_clear_error();
  int n = SSL_write(ssl_, data, static_cast<int>(std::min(length, kRecordLimit)));
  if (n <= 0) {
    Fail();
    return 0;
  }
  CollectOutput();
  return static_cast<size_t>(n);
}

void TTlsSession::Shutdown() {
  if (handshaking_ || Failed()) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
  CollectOutput();
}

void TTlsSession::Sent(size_t count) {
  outputSent_ += std::min(count, output_.size() - outputSent_);
  if (outputSent_ < output_.size()) return;
  output_.clear();
  outputSent_ = 0;
  if (output_.capacity() > kKeptRoom) std::string().swap(output_);
}

void TTlsSession::CollectOutput() {
  char* data = nullptr;
  long length = BIO_get_mem_data(out_, &data);
  if (length <= 0) return;
  output_.append(data, static_cast<size_t>(length));
  (void)BIO_reset(out_);
}

}  // namespace ordwin
