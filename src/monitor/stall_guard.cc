#include "monitor/stall_guard.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "base/datetime.h"
#include "monitor/seams.h"

namespace tallyvox::monitor {
namespace {

using std::chrono::milliseconds;

// Stalls found while a delivery waits queue up to this many alerts.
constexpr size_t kMaxWaitingAlerts = 16;

milliseconds Clamped(milliseconds period) {
  return std::clamp<milliseconds>(period, milliseconds(10), milliseconds(1000));
}

double SecondsOf(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// "65.3": whole tenths of a second, cut (65.38 s reads 65.3).
std::string Seconds(std::chrono::steady_clock::duration d) {
  char text[32];
  std::snprintf(
      text, sizeof text, "%.1f",
      static_cast<double>(std::chrono::duration_cast<milliseconds>(d).count() / 100) / 10);
  return text;
}

// The outcome of each of the guard's deliveries (on its mail thread).
class GuardReports : public MonitorObserver {
 public:
  using Report =
      std::function<void(const std::string& account, bool delivered, const std::string& line)>;
  explicit GuardReports(Report report) : report_(std::move(report)) {}
  void AlertDelivered(const std::string& account, const std::string& text) override {
    report_(account, true, "alert " + account + ": delivered \"" + text + "\"");
  }
  void AlertFailed(const std::string& account, const std::string& text,
                   const std::string& message) override {
    report_(account, false, "alert " + account + ": FAILED \"" + text + "\": " + message);
  }

 private:
  Report report_;
};

}  // namespace

milliseconds StallCheckPeriod(milliseconds limit) { return Clamped(limit / 10); }

milliseconds PulsePeriod(milliseconds limit) { return Clamped(limit / 4); }

StallGuard::StallGuard(const MonitorPulse& pulse, const StallGuardOptions& options,
                       const MailSettings& mail, Outbox* outbox, StopSignal& stop)
    : pulse_(pulse),
      limit_(options.limit),
      inputs_(*options.inputs),
      listeners_(options.listeners),
      outbox_(outbox),
      stop_(stop),
      mail_(mail) {
  watcher_ = std::thread([this] { Watch(); });
  mailer_ = std::thread([this] { MailLoop(); });
}

StallGuard::~StallGuard() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ending_ = true;
  }
  wake_.notify_all();
  watcher_.join();
  mailer_.join();
}

void StallGuard::Reconfigure(const MailSettings& mail) {
  std::lock_guard<std::mutex> lock(mu_);
  mail_ = mail;
  mail_changed_ = true;
}

void StallGuard::Log(const std::string& line) {
  for (StallListener* l : listeners_) l->StallLog("stall guard: " + line);
}

// ---- Watching the pulse ---------------------------------------------------------

void StallGuard::Watch() {
  bool stalled = false;
  Clock::time_point stalled_beat;  // the last beat before the stall
  const milliseconds period = StallCheckPeriod(limit_);
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, period, [this] { return ending_; })) {
    lock.unlock();
    // A stopping monitor stops beating: that is no stall.
    if (!stop_.Requested()) CheckOnce(&stalled, &stalled_beat);
    lock.lock();
  }
}

void StallGuard::CheckOnce(bool* stalled, Clock::time_point* stalled_beat) {
  const Clock::time_point beat = pulse_.LastBeat();
  const Clock::duration since = Clock::now() - beat;
  if (*stalled) {
    if (beat == *stalled_beat) {
      for (StallListener* l : listeners_) l->StallChecked(true, SecondsOf(since));
      return;
    }
    *stalled = false;  // re-armed
    Log("the monitor thread makes progress again after " + Seconds(beat - *stalled_beat) + " s");
    for (StallListener* l : listeners_) l->StallChecked(false, SecondsOf(beat - *stalled_beat));
    return;
  }
  if (since <= limit_) return;
  *stalled = true;
  *stalled_beat = beat;
  Log("the monitor thread has made no progress for " + Seconds(since) + " s");
  for (StallListener* l : listeners_) l->StallChecked(true, SecondsOf(since));
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (alerts_.size() < kMaxWaitingAlerts) {
      alerts_.push_back(NotRespondingText(pulse_.LastProbedAddress()));
    }
  }
  wake_.notify_all();
}

// ---- Mailing the alert ----------------------------------------------------------

void StallGuard::MailLoop() {
  SilentView view(inputs_);  // the account boxes; no box is shown
  GuardReports reports([this](const std::string& account, bool delivered, const std::string& line) {
    Log(line);
    for (StallListener* l : listeners_) l->StallAlertSent(account, delivered);
  });
  std::unique_ptr<MailAlerts> mail;
  {
    std::lock_guard<std::mutex> lock(mu_);
    mail = std::make_unique<MailAlerts>(mail_, view, stop_, &reports);
    mail_changed_ = false;
  }
  for (;;) {
    std::string text;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return ending_ || !alerts_.empty(); });
      if (ending_) break;
      text = std::move(alerts_.front());
      alerts_.pop_front();
      if (mail_changed_) mail->Reconfigure(mail_);
      mail_changed_ = false;
    }
    try {
      Deliver(*mail, text);
    } catch (const MonitorStopped&) {
      break;
    } catch (const std::exception& e) {
      Log(std::string("the alert failed: ") + e.what());
    }
  }
  mail.reset();
  // The thread's OpenSSL state, freed now rather than at the thread's exit.
  OPENSSL_thread_stop();
}

void StallGuard::Deliver(MailAlerts& mail, const std::string& text) {
  std::vector<int> accounts;
  bool delivered = false;
  for (int account : kAlertAccounts) {
    // Each box read at its own step, as the monitor's SendError does.
    if (!mail.AccountTicked(account)) continue;
    accounts.push_back(account);
    const Delivery d = mail.Send(account, text, Letter{kDownSubject, /*show_box=*/false});
    delivered = delivered || d.delivered;
    if (!d.close_failure) continue;
    try {
      std::rethrow_exception(d.close_failure);
    } catch (const std::exception& e) {
      Log(std::string("closing the connection of ") + MailAccountName(account) +
          " failed: " + e.what());
    }
  }
  if (accounts.empty()) {
    Log("no alert account is selected; \"" + text + "\" is not sent");
    return;
  }
  if (!delivered && outbox_ != nullptr) Keep(text, accounts);
}

void StallGuard::Keep(const std::string& text, const std::vector<int>& accounts) {
  QueuedAlert alert{Now(), kDownSubject, {}, text};
  for (int account : accounts) alert.accounts.push_back(MailAccountName(account));
  try {
    outbox_->AddFromElsewhere(alert, [this](const std::string& line) { Log(line); });
    Log("alert queued in the outbox for the monitor's retry: \"" + text + "\"");
  } catch (const OutboxError& e) {
    Log(std::string(e.what()) + "; the alert is lost");
  }
}

}  // namespace tallyvox::monitor
