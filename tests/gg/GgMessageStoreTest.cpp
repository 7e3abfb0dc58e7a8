#include "gg/GgMessageStore.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "gg/Cp1250.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kNow = 1700000000;

class GgMessageStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/ordwin-store-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    Folder = name;
    Path = (Folder / "wiadomosci.db").string();
  }
  void TearDown() override { fs::remove_all(Folder); }

  std::unique_ptr<TGgMessageStore> Open(TGgStoreBounds bounds = {}) {
    Log.clear();
    return TGgMessageStore::Open(
        Path, [this](std::string_view l) { Log.push_back(Cp1250ToUtf8(l)); }, kNow, bounds);
  }
  static TGgKeptMessage Message(int32_t recipient, size_t size, int64_t sent = kNow) {
    return {.Recipient = recipient, .Sent = sent, .Text = {}, .Html = std::string(size, 'a'), .Attributes = {}};
  }

  fs::path Folder;
  std::string Path;
  std::vector<std::string> Log;
};

// Each bound refuses the message that would pass it, for its recipient only unless it is the
// bound of all; forgetting makes room again.
TEST_F(GgMessageStoreTest, EachBoundRefusesTheMessagePastItUntilRoomIsMade) {
  const struct {
    const char* Name;
    TGgStoreBounds Bounds;
    size_t Size, Fitting;
    TGgMessageStore::TKeepResult Other;
  } cases[] = {
      {"1,000 messages", {}, 10, 1000, TGgMessageStore::krKept},
      {"1 MB", {}, 60 * 1000, 16, TGgMessageStore::krKept},
      {"100 MB in all, made small", {1000, 1000 * 1000, 10 * 1000, 30 * 24 * 3600}, 3000, 3, TGgMessageStore::krFull}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove(Path);
    auto store = Open(c.Bounds);
    for (size_t i = 0; i < c.Fitting; ++i) ASSERT_EQ(store->Keep(Message(2, c.Size)), TGgMessageStore::krKept) << i;
    EXPECT_EQ(store->Keep(Message(2, c.Size)), TGgMessageStore::krFull);
    EXPECT_EQ(store->Keep(Message(3, c.Size)), c.Other);
    store->Forget(2, store->Waiting(2)[1].Id);
    EXPECT_EQ(store->Keep(Message(2, c.Size)), TGgMessageStore::krKept);
    EXPECT_EQ(store->WaitingCount(2), c.Fitting - 1);
  }
}

TEST_F(GgMessageStoreTest, MessagesOlderThanThirtyDaysAreDroppedAtOpening) {
  auto store = Open();
  for (int64_t age : {31, 29, 30}) store->Keep(Message(static_cast<int32_t>(age), 1, kNow - age * 24 * 3600 - 1));
  store = Open();
  EXPECT_EQ(Log, (std::vector<std::string>{"<usunięto 2 wiadomości starszych niż 30 dni",
                                           "<czeka 1 wiadomości dla 1 nieobecnych"}));
  EXPECT_EQ(store->WaitingCount(29), 1u);
}

// A file of another kind is renamed beside itself and a new one takes its place; a folder that
// cannot be made leaves the program without a store, and says so.
TEST_F(GgMessageStoreTest, AnUnusableFileIsSetAsideAndANewOneStarted) {
  const struct {
    const char* Reason;
    std::function<void()> Make;
  } cases[] = {{"unable to open database file", [&] { fs::create_directories(Path); }},
               {"user_version 7", [&] {
                  sqlite3* db = nullptr;
                  sqlite3_open(Path.c_str(), &db);
                  sqlite3_exec(db, "CREATE TABLE t (x); PRAGMA user_version = 7;", nullptr, nullptr, nullptr);
                  sqlite3_close(db);
                }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Reason);
    fs::remove_all(Folder);
    fs::create_directories(Folder);
    c.Make();
    auto store = Open();
    ASSERT_TRUE(store);
    const std::string line = "<plik wiadomości " + Path + " był uszkodzony lub nieczytelny (" + c.Reason +
                             "); odłożony jako " + Path + ".uszkodzony-";
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].substr(0, line.size()), line);
    EXPECT_TRUE(fs::exists(Log[0].substr(Log[0].find(" jako ") + 6, Path.size() + 27)));
    EXPECT_EQ(store->Keep(Message(2, 1)), TGgMessageStore::krKept);
  }
  std::ofstream(Folder / "plik") << "x";
  Path = (Folder / "plik" / "wiadomosci.db").string();
  EXPECT_FALSE(Open());
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].rfind("<nie udało się otworzyć pliku wiadomości " + Path + " (", 0), 0u) << Log[0];
}

}  // namespace
}  // namespace ordwin
