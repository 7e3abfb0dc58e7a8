// Messages kept for GG numbers with no connection: stored when they arrive, handed over after the
// number's next log-in in the order they came, and removed from the store once the platform has
// taken each one whole.
#include <ctime>

#include "gg/GgLogFormat.h"
#include "gg/GgSession.h"

namespace ordwin {

bool TGgSession::KeepMessage(TGgClient* sender, int32_t recipient, const TMessageBody& body) {
  int32_t uin = sender->Uin();
  if (store_ == nullptr || !sender->LoggedIn || recipient == 0 || recipient == uin) return false;
  // Kept only what reaches a recipient of any dialect whole, as it will be handed over.
  if (!FitsReceivedMessage80(body.Html)) return false;
  TGgKeptMessage message;
  message.Recipient = recipient;
  message.Sender = uin;
  message.Sent = std::time(nullptr);
  message.Class = body.Class;
  message.Text = body.Cp1250Text;
  message.Html = body.Html;
  message.Attributes = body.Attributes;
  switch (store_->Keep(message)) {
    case TGgMessageStore::krKept:
      Log(GG_CP1250("<wiadomość dla %d czeka na jego zalogowanie"), recipient);
      return true;
    case TGgMessageStore::krFull:
      Log(GG_CP1250("<brak miejsca na wiadomości dla %d"), recipient);
      return false;
    case TGgMessageStore::krFailed:
      return false;
  }
  return false;
}

void TGgSession::DeliverKept(TGgClient* client) {
  if (store_ == nullptr || client->State() != wsConnected) return;
  int32_t uin = client->Uin();
  // What was taken whole must leave the store before the rest is read from it again.
  ForgetTaken();
  if (kept_.count(uin) != 0) return;
  std::vector<TGgKeptMessage> waiting = store_->Waiting(uin);
  if (waiting.empty()) return;
  TKeptDelivery& delivery = kept_[uin];
  delivery.Client = client;
  for (const TGgKeptMessage& m : waiting) {
    // Only a file written before the store refused such messages holds one too long for the
    // client's dialect: it leaves the store with the messages before it.
    if (!MakeMessagePacket(client, m.Sender, {m.Text, m.Html, m.Class, m.Attributes}, m.Sent)) {
      delivery.Rows.push_back({m.Id, client->QueuedBytes()});
      continue;
    }
    Log(GG_CP1250("<zaległa wiadomość od %d z %s dla %d o treści \"%s\""), m.Sender,
        LocalTimeText(m.Sent, "%Y-%m-%d %H:%M:%S"), uin, m.Text);
    uint64_t before = client->QueuedBytes();
    QueuePacket(client, message_);
    // A connection that could not take it keeps the rest waiting for the next log-in.
    if (client->QueuedBytes() == before) break;
    delivery.Rows.push_back({m.Id, client->QueuedBytes()});
  }
  client->OnSendData = [this, client](TObject*, int) { NoteKeptTaken(client); };
  NoteKeptTaken(client);  // what needs no bytes of its own is taken already
}

void TGgSession::NoteKeptTaken(TGgClient* client) {
  // A connection that closes drops its queue: only an open one tells what was taken.
  if (client->State() != wsConnected) return;
  uint64_t taken = client->TakenBytes();
  for (auto& [number, delivery] : kept_) {
    if (delivery.Client != client) continue;
    while (!delivery.Rows.empty() && delivery.Rows.front().End <= taken) {
      delivery.Taken = delivery.Rows.front().Row;
      delivery.Rows.pop_front();
    }
    if (delivery.Taken != 0 && !forgetPosted_) {
      forgetPosted_ = true;
      endpoint_.AtTurnEnd(tpFinish, WM_FORGET_TAKEN);
    }
  }
}

void TGgSession::ForgetTaken() {
  forgetPosted_ = false;
  for (auto it = kept_.begin(); it != kept_.end();) {
    TKeptDelivery& delivery = it->second;
    if (delivery.Taken != 0 && store_ != nullptr) store_->Forget(it->first, delivery.Taken);
    delivery.Taken = 0;
    bool open = delivery.Client != nullptr && delivery.Client->State() == wsConnected;
    if (open && !delivery.Rows.empty()) {
      ++it;
      continue;
    }
    // Done, or the connection ended first: what it did not take waits for the next log-in.
    TGgClient* client = delivery.Client;
    it = kept_.erase(it);
    bool stillTaking = false;
    for (const auto& [number, other] : kept_) stillTaking = stillTaking || other.Client == client;
    if (client != nullptr && !stillTaking) client->OnSendData = nullptr;
  }
}

void TGgSession::DropKeptCarrier(TGgClient* client) {
  for (auto& [number, delivery] : kept_)
    if (delivery.Client == client) delivery.Client = nullptr;
  ForgetTaken();
}

}  // namespace ordwin
