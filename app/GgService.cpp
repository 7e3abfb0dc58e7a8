#include "app/GgService.h"

#include <ctime>

#include "app/AddressSetting.h"
#include "app/Hints.h"
#include "http/DocumentFile.h"

namespace ordwin {

void TGgService::Start() {
  if (!session_.Start().empty()) {
    form_.AppendHint(GgPortHint(session_.RIDuziva().Port()));
    form_.AppendHint("");
    return;
  }
  if (LoadKeepMessagesSetting()) OpenMessageStore();
}

void TGgService::OpenMessageStore() {
  const std::string folder = ProgramDataFolder();
  const std::string path = folder.empty() ? std::string() : folder + "/" + kMessageStoreFile;
  store_ = TGgMessageStore::Open(path, [this](std::string_view line) { form_.AppendLog(line); }, std::time(nullptr));
  session_.SetMessageStore(store_.get());
  form_.AppendHint(store_ ? KeptMessagesHint(path) : KeptMessagesFailedHint(path));
  form_.AppendHint("");
}

}  // namespace ordwin
