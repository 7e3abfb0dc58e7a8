#include "gg/GgMessageStore.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include <sqlite3.h>

#include "gg/Cp1250.h"
#include "gg/GgLogFormat.h"
#include "gg/WalCheckpointer.h"

namespace ordwin {

namespace {

namespace fs = std::filesystem;

constexpr int kSchemaVersion = 1;
// Another program may hold the file for a moment (the sqlite3 tool reading it): wait this long.
constexpr int kBusyMilliseconds = 1000;

constexpr const char* kSchema =
    "BEGIN;"
    "CREATE TABLE messages ("
    " id INTEGER PRIMARY KEY,"
    " recipient INTEGER NOT NULL,"
    " sender INTEGER NOT NULL,"
    " sent INTEGER NOT NULL,"
    " class INTEGER NOT NULL,"
    " text BLOB NOT NULL,"
    " html BLOB NOT NULL,"
    " attributes BLOB NOT NULL);"
    "CREATE INDEX messages_by_recipient ON messages (recipient, id);"
    "PRAGMA user_version = 1;"
    "COMMIT;";

// The one column of the first row of a query, as text; empty when there is none.
std::string FirstValue(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  std::string value;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
    if (const unsigned char* text = sqlite3_column_text(statement, 0)) value = reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(statement);
  return value;
}

std::string Blob(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  int size = sqlite3_column_bytes(statement, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

void BindBlob(sqlite3_stmt* statement, int index, const std::string& bytes) {
  sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
}

// Renames path, with the log beside it, to a name that is free; the new name, or empty.
std::string SetAside(const std::string& path, int64_t now) {
  std::string base = path + ".uszkodzony-" + LocalTimeText(now, "%Y%m%d-%H%M%S");
  std::string aside = base;
  std::error_code error;
  for (int n = 2; fs::symlink_status(aside, error).type() != fs::file_type::not_found; ++n)
    aside = base + "-" + std::to_string(n);
  fs::rename(path, aside, error);
  if (error) return std::string();
  // The log holds the last writes; the index beside it is rebuilt from the log when needed.
  fs::rename(path + "-wal", aside + "-wal", error);
  fs::remove(path + "-shm", error);
  return aside;
}

int WalHook(void* checkpointer, sqlite3*, const char*, int) {
  static_cast<TWalCheckpointer*>(checkpointer)->Request();
  return SQLITE_OK;
}

}  // namespace

std::string LocalTimeText(int64_t seconds, const char* format) {
  time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  char text[64];
  size_t length = std::strftime(text, sizeof(text), format, &local);
  return std::string(text, length);
}

void TGgMessageStore::TDatabaseCloser::operator()(sqlite3* db) const { sqlite3_close(db); }

void TGgMessageStore::TStatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

TGgMessageStore::TGgMessageStore(std::string path, TLogSink log, TGgStoreBounds bounds)
    : path_(std::move(path)), log_(std::move(log)), bounds_(bounds) {}

TGgMessageStore::~TGgMessageStore() { Close(); }

template <class... TArgs>
void TGgMessageStore::Log(std::string_view cp1250Format, const TArgs&... values) {
  std::string line;
  GgFormatInto(line, cp1250Format, values...);
  log_(line);
}

std::unique_ptr<TGgMessageStore> TGgMessageStore::Open(const std::string& path, TLogSink log, int64_t now,
                                                       TGgStoreBounds bounds) {
  std::unique_ptr<TGgMessageStore> store(new TGgMessageStore(path, std::move(log), bounds));
  const std::string name = Utf8ToCp1250(path);
  std::string why = "no folder for it: neither XDG_DATA_HOME nor HOME is set";
  TOpenResult result = path.empty() ? orCannotOpen : store->TryOpen(now, why);
  if (result == orUnusable) {
    store->Close();
    std::string aside = SetAside(path, now);
    if (aside.empty()) {
      store->Log(GG_CP1250("<plik wiadomości %s jest uszkodzony lub nieczytelny (%s) i nie dało się go odłożyć; "
                           "wiadomości nie będą przechowywane"),
                 name, why);
      return nullptr;
    }
    store->Log(GG_CP1250("<plik wiadomości %s był uszkodzony lub nieczytelny (%s); odłożony jako %s, zaczęty nowy"),
               name, why, Utf8ToCp1250(aside));
    result = store->TryOpen(now, why);
  }
  if (result != orOpened) {
    store->Close();
    store->Log(GG_CP1250("<nie udało się otworzyć pliku wiadomości %s (%s); wiadomości nie będą przechowywane"), name,
               why);
    return nullptr;
  }
  return store;
}

TGgMessageStore::TOpenResult TGgMessageStore::TryOpen(int64_t now, std::string& why) {
  why.clear();
  std::error_code error;
  fs::path file(path_);
  if (file.has_parent_path()) fs::create_directories(file.parent_path(), error);
  bool existed = fs::symlink_status(file, error).type() != fs::file_type::not_found;

  sqlite3* db = nullptr;
  int code =
      sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  if (code != SQLITE_OK) {
    why = db != nullptr ? ErrorText() : sqlite3_errstr(code);
    return existed ? orUnusable : orCannotOpen;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyMilliseconds);

  // A file another program holds, or a folder that cannot be written, is no reason to set the
  // file aside; anything else that stops it being read is.
  auto failed = [&]() {
    if (why.empty()) why = ErrorText();
    int primary = sqlite3_errcode(db) & 0xFF;
    bool elsewhere = primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_NOMEM ||
                     primary == SQLITE_FULL || (!existed && primary == SQLITE_CANTOPEN);
    return elsewhere ? orCannotOpen : orUnusable;
  };
  // The log file makes a commit one write, with no wait for the disk (the checkpointer waits):
  // a crash of the process loses nothing that was committed, a power loss at most the last
  // second.
  if (!Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA wal_autocheckpoint = 0;", why))
    return failed();
  std::string check = FirstValue(db, "PRAGMA quick_check");
  if (check != "ok") {
    if (check.empty()) return failed();
    why = check;
    return orUnusable;
  }
  std::string version = FirstValue(db, "PRAGMA user_version");
  if (version == "0") {
    if (!Exec(kSchema, why)) {
      Exec("ROLLBACK", why);
      return failed();
    }
  } else if (version != std::to_string(kSchemaVersion)) {
    why = "user_version " + version;
    return orUnusable;
  }
  insert_ = Prepare(
      "INSERT INTO messages (recipient, sender, sent, class, text, html, attributes) VALUES (?, ?, ?, ?, ?, ?, ?)",
      why);
  select_ = Prepare(
      "SELECT id, sender, sent, class, text, html, attributes FROM messages WHERE recipient = ? ORDER BY id", why);
  delete_ = Prepare(
      "DELETE FROM messages WHERE recipient = ? AND id <= ? "
      "RETURNING length(text) + length(html) + length(attributes)",
      why);
  if (!insert_ || !select_ || !delete_) return failed();

  DropOlderThan(now - bounds_.MaxAgeSeconds);
  CountUsage();
  checkpointer_ = std::make_unique<TWalCheckpointer>(path_);
  sqlite3_wal_hook(db, &WalHook, checkpointer_.get());
  return orOpened;
}

bool TGgMessageStore::Exec(const char* sql, std::string& why) {
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  why = ErrorText();
  return false;
}

TGgMessageStore::TStatement TGgMessageStore::Prepare(const char* sql, std::string& why) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
    why = ErrorText();
  return TStatement(statement);
}

void TGgMessageStore::DropOlderThan(int64_t cutoff) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_.get(), "DELETE FROM messages WHERE sent < ?", -1, &statement, nullptr) != SQLITE_OK)
    return;
  sqlite3_bind_int64(statement, 1, cutoff);
  int code = sqlite3_step(statement);
  sqlite3_finalize(statement);
  int dropped = sqlite3_changes(db_.get());
  if (code == SQLITE_DONE && dropped > 0)
    Log(GG_CP1250("<usunięto %d wiadomości starszych niż %d dni"), dropped, bounds_.MaxAgeSeconds / (24 * 3600));
}

void TGgMessageStore::CountUsage() {
  usage_.clear();
  bytesInAll_ = 0;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_.get(),
                         "SELECT recipient, count(*), sum(length(text) + length(html) + length(attributes)) "
                         "FROM messages GROUP BY recipient",
                         -1, &statement, nullptr) != SQLITE_OK)
    return;
  size_t messages = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    TUsage& usage = usage_[sqlite3_column_int(statement, 0)];
    usage.Messages = static_cast<size_t>(sqlite3_column_int64(statement, 1));
    usage.Bytes = static_cast<size_t>(sqlite3_column_int64(statement, 2));
    messages += usage.Messages;
    bytesInAll_ += usage.Bytes;
  }
  sqlite3_finalize(statement);
  if (messages > 0) Log(GG_CP1250("<czeka %d wiadomości dla %d nieobecnych"), messages, usage_.size());
}

void TGgMessageStore::Close() {
  // The checkpointer's connection goes first, so that closing the last one folds the log in.
  if (db_) sqlite3_wal_hook(db_.get(), nullptr, nullptr);
  checkpointer_.reset();
  insert_.reset();
  select_.reset();
  delete_.reset();
  db_.reset();
}

std::string TGgMessageStore::ErrorText() const { return db_ ? sqlite3_errmsg(db_.get()) : std::string(); }

TGgMessageStore::TKeepResult TGgMessageStore::Keep(const TGgKeptMessage& message) {
  size_t size = message.Size();
  TUsage& usage = usage_[message.Recipient];
  if (usage.Messages + 1 > bounds_.MessagesPerRecipient || usage.Bytes + size > bounds_.BytesPerRecipient ||
      bytesInAll_ + size > bounds_.BytesInAll) {
    if (usage.Messages == 0) usage_.erase(message.Recipient);
    return krFull;
  }
  sqlite3_stmt* s = insert_.get();
  sqlite3_bind_int(s, 1, message.Recipient);
  sqlite3_bind_int(s, 2, message.Sender);
  sqlite3_bind_int64(s, 3, message.Sent);
  sqlite3_bind_int(s, 4, message.Class);
  BindBlob(s, 5, message.Text);
  BindBlob(s, 6, message.Html);
  BindBlob(s, 7, message.Attributes);
  int code = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (code != SQLITE_DONE) {
    Log(GG_CP1250("<nie udało się zapisać wiadomości dla %d w pliku wiadomości (%s)"), message.Recipient, ErrorText());
    if (usage.Messages == 0) usage_.erase(message.Recipient);
    return krFailed;
  }
  ++usage.Messages;
  usage.Bytes += size;
  bytesInAll_ += size;
  return krKept;
}

std::vector<TGgKeptMessage> TGgMessageStore::Waiting(int32_t recipient) {
  std::vector<TGgKeptMessage> messages;
  if (usage_.find(recipient) == usage_.end()) return messages;
  sqlite3_stmt* s = select_.get();
  sqlite3_bind_int(s, 1, recipient);
  int code;
  while ((code = sqlite3_step(s)) == SQLITE_ROW) {
    TGgKeptMessage& m = messages.emplace_back();
    m.Id = sqlite3_column_int64(s, 0);
    m.Recipient = recipient;
    m.Sender = sqlite3_column_int(s, 1);
    m.Sent = sqlite3_column_int64(s, 2);
    m.Class = sqlite3_column_int(s, 3);
    m.Text = Blob(s, 4);
    m.Html = Blob(s, 5);
    m.Attributes = Blob(s, 6);
  }
  if (code != SQLITE_DONE)
    Log(GG_CP1250("<nie udało się odczytać wiadomości dla %d z pliku wiadomości (%s)"), recipient, ErrorText());
  sqlite3_reset(s);
  return messages;
}

void TGgMessageStore::Forget(int32_t recipient, int64_t upToId) {
  auto usage = usage_.find(recipient);
  if (usage == usage_.end()) return;
  sqlite3_stmt* s = delete_.get();
  sqlite3_bind_int(s, 1, recipient);
  sqlite3_bind_int64(s, 2, upToId);
  size_t messages = 0, bytes = 0;
  int code;
  while ((code = sqlite3_step(s)) == SQLITE_ROW) {
    ++messages;
    bytes += static_cast<size_t>(sqlite3_column_int64(s, 0));
  }
  sqlite3_reset(s);
  if (code != SQLITE_DONE) {
    // Nothing was removed: the messages come again at the next log-in rather than never.
    Log(GG_CP1250("<nie udało się usunąć wiadomości dla %d z pliku wiadomości (%s)"), recipient, ErrorText());
    return;
  }
  usage->second.Messages -= std::min(messages, usage->second.Messages);
  usage->second.Bytes -= std::min(bytes, usage->second.Bytes);
  bytesInAll_ -= std::min<uint64_t>(bytes, bytesInAll_);
  if (usage->second.Messages == 0) usage_.erase(usage);
}

size_t TGgMessageStore::WaitingCount(int32_t recipient) const {
  auto usage = usage_.find(recipient);
  return usage == usage_.end() ? 0 : usage->second.Messages;
}

}  // namespace ordwin
