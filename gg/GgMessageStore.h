// TGgMessageStore: the messages that wait for GG numbers with no connection, kept in one SQLite
// database file (WAL) so that they survive a restart and a crash. Owns its database connection
// and the checkpointer thread; used on the loop's thread only.
//
// Every Keep is committed before it returns: a sender told "queued" never loses the message to a
// crash of this process. Commits never wait for the disk; the checkpointer moves the log into
// the database, and waits for the disk, on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ordwin {

class TWalCheckpointer;

// One message kept for later: the row that orders it, who it is for and from, when it arrived
// (seconds since 1970, UTC), its class, its Windows-1250 text, its UTF-8 HTML part (empty when
// the sender sent none) and the 8.0 formatting attributes.
struct TGgKeptMessage {
  int64_t Id = 0;
  int32_t Recipient = 0;
  int32_t Sender = 0;
  int64_t Sent = 0;
  int32_t Class = 0;
  std::string Text;
  std::string Html;
  std::string Attributes;

  // What the message counts against the bounds.
  size_t Size() const { return Text.size() + Html.size() + Attributes.size(); }
};

// Seconds since 1970 as local time, in strftime's format.
std::string LocalTimeText(int64_t seconds, const char* format);

// What the store holds at most, and for how long.
struct TGgStoreBounds {
  size_t MessagesPerRecipient = 1000;
  size_t BytesPerRecipient = 1000 * 1000;
  size_t BytesInAll = 100 * 1000 * 1000;
  int64_t MaxAgeSeconds = 30 * 24 * 3600;
};

class TGgMessageStore {
public:
  // Receives each log line as Windows-1250 bytes; the text is valid only during the call.
  using TLogSink = std::function<void(std::string_view cp1250Line)>;

  enum TKeepResult { krKept, krFull, krFailed };

  // Opens the database file at path, creating it and its folder when absent, and drops the
  // messages older than the age bound at now. A file that is not a database of this program,
  // or cannot be read, is renamed beside itself (".uszkodzony-" and the local time) and a new
  // one is started; the log says so. nullptr, also said in the log, when no file can be used
  // (the folder cannot be written, or another program holds the file).
  static std::unique_ptr<TGgMessageStore> Open(const std::string& path, TLogSink log, int64_t now,
                                               TGgStoreBounds bounds = {});
  ~TGgMessageStore();
  TGgMessageStore(const TGgMessageStore&) = delete;
  TGgMessageStore& operator=(const TGgMessageStore&) = delete;

  // Stores message (its Id is given by the store) and commits it. krFull when the recipient or
  // the store would pass a bound; krFailed, logged, when the write failed.
  TKeepResult Keep(const TGgKeptMessage& message);
  // The messages kept for recipient, in the order they were kept.
  std::vector<TGgKeptMessage> Waiting(int32_t recipient);
  // Removes the messages kept for recipient up to the row upToId, and commits.
  void Forget(int32_t recipient, int64_t upToId);

  size_t WaitingCount(int32_t recipient) const;
  uint64_t BytesInAll() const { return bytesInAll_; }
  const std::string& Path() const { return path_; }

private:
  struct TDatabaseCloser {
    void operator()(sqlite3* db) const;
  };
  struct TStatementFinalizer {
    void operator()(sqlite3_stmt* statement) const;
  };
  using TStatement = std::unique_ptr<sqlite3_stmt, TStatementFinalizer>;
  struct TUsage {
    size_t Messages = 0;
    size_t Bytes = 0;
  };
  enum TOpenResult { orOpened, orUnusable, orCannotOpen };

  TGgMessageStore(std::string path, TLogSink log, TGgStoreBounds bounds);
  // Opens path as this program's database; orUnusable when the file is no such database or
  // cannot be read, with the reason in why.
  TOpenResult TryOpen(int64_t now, std::string& why);
  bool Exec(const char* sql, std::string& why);
  TStatement Prepare(const char* sql, std::string& why);
  void DropOlderThan(int64_t cutoff);
  void CountUsage();
  void Close();
  std::string ErrorText() const;
  template <class... TArgs>
  void Log(std::string_view cp1250Format, const TArgs&... values);

  std::string path_;
  TLogSink log_;
  TGgStoreBounds bounds_;
  std::unique_ptr<sqlite3, TDatabaseCloser> db_;
  TStatement insert_, select_, delete_;
  std::unique_ptr<TWalCheckpointer> checkpointer_;
  std::unordered_map<int32_t, TUsage> usage_;
  uint64_t bytesInAll_ = 0;
};

}  // namespace ordwin
