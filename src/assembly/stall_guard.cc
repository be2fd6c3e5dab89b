#include "assembly/stall_guard.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "adapters/smtp_delivery.h"
#include "alerts/account_choice.h"
#include "base/datetime.h"
#include "monitor/accounts.h"
#include "monitor/seams.h"
#include "outbox/outbox.h"

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
    MutexLock lock(&mu_);
    ending_ = true;
  }
  wake_.SignalAll();
  watcher_.join();
  mailer_.join();
}

void StallGuard::Reconfigure(const MailSettings& mail) {
  MutexLock lock(&mu_);
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
  for (;;) {
    {
      MutexLock lock(&mu_);
      const auto deadline = std::chrono::steady_clock::now() + period;
      while (!ending_ && wake_.WaitUntil(&mu_, deadline)) {
      }
      if (ending_) return;
    }
    // A stopping monitor stops beating: that is no stall.
    if (!stop_.Requested()) CheckOnce(&stalled, &stalled_beat);
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
    MutexLock lock(&mu_);
    if (alerts_.size() < kMaxWaitingAlerts) {
      alerts_.push_back(NotRespondingText(pulse_.LastProbedAddress()));
    }
  }
  wake_.SignalAll();
}

// ---- Mailing the alert ----------------------------------------------------------

void StallGuard::MailLoop() {
  std::unique_ptr<SmtpDelivery> mail;
  {
    MutexLock lock(&mu_);
    mail = std::make_unique<SmtpDelivery>(mail_, stop_);
    mail_changed_ = false;
  }
  for (;;) {
    std::string text;
    {
      MutexLock lock(&mu_);
      while (!ending_ && alerts_.empty()) wake_.Wait(&mu_);
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

void StallGuard::Deliver(SmtpDelivery& mail, const std::string& text) {
  const Letter letter{kDownSubject, text};
  bool delivered = false;
  const AccountTicked ticked = [this](int account) {
    return inputs_.Checked(MailAccountBox(account));
  };
  const std::vector<int> accounts = VisitAlertAccounts(ticked, [&](int account) {
    const Delivery d = mail.Send(account, letter);
    delivered = delivered || d.delivered;
    Report(account, d, text);
    return true;
  });
  if (accounts.empty()) {
    Log("no alert account is selected; \"" + text + "\" is not sent");
    return;
  }
  if (!delivered && outbox_ != nullptr) Keep(text, accounts);
}

void StallGuard::Report(int account, const Delivery& d, const std::string& text) {
  const std::string name = MailAccountName(account);
  Log(d.delivered ? "alert " + name + ": delivered \"" + text + "\""
                  : "alert " + name + ": FAILED \"" + text +
                        "\": " + DeliveryFailureText(d.server, d.error));
  for (StallListener* l : listeners_) l->StallAlertSent(name, d.delivered);
  if (!d.close_failure) return;
  try {
    std::rethrow_exception(d.close_failure);
  } catch (const std::exception& e) {
    Log(std::string("closing the connection of ") + name + " failed: " + e.what());
  }
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
