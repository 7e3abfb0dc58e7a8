// The GG listener's watch over its connections: the keep-alive and user timeout each one gets,
// the quick check of a number's other connections, and the sweep that closes the clients past a
// limit.
#include "gg/GgGenericSerwer.h"

namespace ordwin {

void TGgGenericSerwer::KeepAlive(TGgClient* client, bool checking) {
  // A refusal leaves the connection as it was: only a connection that is not TCP (a test's
  // socket pair) refuses, and it cannot vanish.
  const TGgLimits& l = Limits;
  if (checking) {
    client->SetUserTimeout(static_cast<int>(milliseconds(l.CheckInterval * l.CheckProbes).count()));
    client->SetKeepAlive(static_cast<int>(l.CheckInterval.count()), static_cast<int>(l.CheckInterval.count()),
                         l.CheckProbes);
  } else {
    client->SetUserTimeout(static_cast<int>(l.UserTimeout.count()));
    client->SetKeepAlive(static_cast<int>(l.KeepAliveIdle.count()), static_cast<int>(l.KeepAliveInterval.count()),
                         l.KeepAliveProbes);
  }
}

void TGgGenericSerwer::CheckOtherConnections(const TGgClient* client) {
  TGgTime ends = TGgClock::now() + Limits.CheckTime;
  index_.ForEach(client->Uin(), [&](TGgClient* other) {
    if (other == client || !other->LoggedIn || other->State() != wsConnected) return;
    other->CheckEnds = ends;
    KeepAlive(other, true);
  });
}

void TGgGenericSerwer::ArmSweep() {
  if (sweepTimer_ != 0 || socketServer_->CountClients() == 0) return;
  sweepTimer_ = endpoint_.Loop().SetTimer(endpoint_.Id(), WM_GG_SWEEP, static_cast<int>(Limits.SweepPeriod.count()));
}

void TGgGenericSerwer::HandleMessage(TMessage&) {
  sweepTimer_ = 0;
  SweepClients();
  ArmSweep();
}

void TGgGenericSerwer::SweepClients() {
  const TGgTime now = TGgClock::now();
  // Closing only posts each client's release, so the indexes stay put during the walk.
  int count = socketServer_->CountClients();
  for (int i = 0; i < count; ++i) {
    auto* client = dynamic_cast<TGgClient*>(socketServer_->ClientAt(i));
    if (client == nullptr || client->State() != wsConnected) continue;
    if (client->CheckEnds != TGgTime{} && now >= client->CheckEnds) {
      client->CheckEnds = {};
      KeepAlive(client, false);
    }
    bool expired =
        client->LoggedIn ? now - client->LastHeard >= Limits.IdleLimit : now - client->AcceptedAt >= Limits.LoginLimit;
    if (!expired) continue;
    try {
      if (OnClientExpired) OnClientExpired(this, client, client->LoggedIn ? geSilent : geNoLogin);
      client->Close();
    } catch (const std::exception& e) {
      // Raised from the loop's timer, it would reach nobody: the other clients are swept on.
      bool canClose = false;
      BgExceptionHandler(client, Exception(e.what()), canClose);
    }
  }
}

}  // namespace ordwin
