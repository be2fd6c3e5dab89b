#include "alerts/alert_dispatch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <utility>

#include "monitor/flag_guard.h"
#include "monitor/post_call.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {
std::string AlertDispatch::AlertCount(int n) {
  return std::to_string(n) + (n == 1 ? " alert" : " alerts");
}

std::string RaisedText(const std::string& text, TDateTime raised, TDateTime now) {
  std::string when = LongTimeText(raised);
  if (std::floor(raised) != std::floor(now))
    when = TimestampText(raised).substr(0, 10) + " " + when;
  return text + " (raised " + when + ")";
}

AlertDispatch::AlertDispatch(const AlertSettings& settings, MailDelivery& mail, View& view,
                             Clock& clock, StopSignal& stop, MonitorObserver* observer,
                             OutboxEnv* env)
    : mail_(mail),
      view_(view),
      clock_(clock),
      stop_(stop),
      observer_(observer != nullptr ? observer : &no_observer_),
      policy_(settings.policy),
      grouping_(settings.grouping) {
  group_timer_.setSingleShot(true);
  QObject::connect(&group_timer_, &QTimer::timeout, this, [this] {
    try {
      SendGroups();
    } catch (const MonitorStopped&) {
    } catch (const std::exception& e) {
      view_.ShowErrorBox(ErrorBoxText(e.what()));
    }
  });
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] {
    try {
      Retry();
    } catch (const MonitorStopped&) {
    } catch (const std::exception& e) {
      observer_->OutboxLog(std::string("outbox: the retry failed: ") + e.what());
    }
  });
  if (settings.outbox.empty()) return;
  outbox_ = std::make_unique<Outbox>(
      settings.outbox, settings.outbox_max,
      [this](const std::string& line) { observer_->OutboxLog(line); }, env);
  // The stall guard's alerts, added from its thread while this one may be
  // held: handled here once this thread gets on.
  outbox_->SetOnAddedElsewhere([this] { PostCall(this, [this] { AddedElsewhere(); }); });
  timer_.start(0);
}

void AlertDispatch::AddedElsewhere() {
  observer_->OutboxChanged(Pending());
  // A delivery under way goes on with the outbox itself.
  if (!busy_ && Pending() > 0) ScheduleRetry(Pass::kRaised);
}

// ---- What the poll cycle and the watchdog report ----------------------------

AlertState AlertDispatch::ProbeFailed(int row, const std::string& address) {
  const AlertDecision decision = policy_.Failed(row, address, clock_.Now());
  if (decision.alert) return {AlertState::Kind::kRaised, {}};
  return {AlertState::Kind::kHeldBack, decision.reason};
}

AlertState AlertDispatch::ProbeAnswered(int row, const std::string& address) {
  if (policy_.Answered(row, address)) return {AlertState::Kind::kRaised, {}};
  return {};
}

void AlertDispatch::CarryOut(const ProbeEvent& probe) {
  const bool down = probe.failed();
  const std::string text = down ? DownText(probe.address) : UpText(probe.address);
  if (alertmanager_ != nullptr) TellAlertmanager(probe, down);
  if (probe.alert.kind == AlertState::Kind::kHeldBack) {
    HeldBack(probe.row, text, probe.alert.reason);
  } else if (probe.alert.kind == AlertState::Kind::kRaised && grouping_.group) {
    (down ? group_down_ : group_up_)[probe.row] = text;
    if (!group_timer_.isActive()) group_timer_.start(std::chrono::seconds(grouping_.wait_seconds));
  } else if (probe.alert.kind == AlertState::Kind::kRaised) {
    Raise(text, down ? kDownSubject : kUpSubject, probe.row);
  }
}

void AlertDispatch::TellAlertmanager(const ProbeEvent& probe, bool down) {
  probed_in_cycle_.insert(probe.row);
  alertmanager_->ProbesGoOn();
  if (!down) {
    alertmanager_->RowUp(probe.row);
  } else if (probe.alert.kind == AlertState::Kind::kRaised) {
    alertmanager_->RowDown(probe.row, probe.address, DownText(probe.address));
  }
}

void AlertDispatch::CycleEnded(const CycleEvent& cycle) {
  SendGroups();
  if (alertmanager_ == nullptr) return;
  // A row that fires but was not probed by a whole cycle (its box was
  // unticked) is resolved rather than re-sent for as long as the program
  // runs: nothing would ever resolve it.
  if (!cycle.ended_by_error) alertmanager_->KeepOnly(probed_in_cycle_);
  probed_in_cycle_.clear();
  alertmanager_->Resend();
}

void AlertDispatch::SetGrouping(const AlertGroupSettings& grouping) {
  grouping_ = grouping;
  if (!grouping_.group) SendGroups();
}

void AlertDispatch::SendGroups() {
  group_timer_.stop();
  SendGroup(std::exchange(group_down_, {}), kDownSubject, kGroupDownSubject);
  SendGroup(std::exchange(group_up_, {}), kUpSubject, kGroupUpSubject);
}

void AlertDispatch::SendGroup(std::map<int, std::string> texts, const char* one,
                              const char* several) {
  if (texts.empty()) return;
  if (texts.size() == 1) return Raise(texts.begin()->second, one, texts.begin()->first);
  std::string body;
  for (const auto& [row, text] : texts) body += (body.empty() ? "" : "\n") + text;
  Raise(body, several, 0);
}

void AlertDispatch::WatchdogChecked(const std::string& address, bool stalled) {
  if (!stalled) {
    policy_.Calm();
    if (alertmanager_ != nullptr) alertmanager_->Resend();
    return;
  }
  const std::string text = NotRespondingText(address);
  const AlertDecision decision = policy_.Stalled(clock_.Now());
  if (alertmanager_ != nullptr) {
    if (decision.alert) alertmanager_->Stalled(address, text);
    alertmanager_->Resend();
  }
  if (decision.alert) {
    Raise(text, kDownSubject, 0);
  } else {
    HeldBack(0, text, decision.reason);
  }
}

// ---- Raising an alert ----------------------------------------------------------

AccountTicked AlertDispatch::Ticked() {
  return [this](int account) { return view_.CheckBoxChecked(MailAccountBox(account)); };
}

void AlertDispatch::HeldBack(int row, const std::string& text, const std::string& reason) {
  observer_->AlertReported(AlertEvent::HeldBack(row, text, reason));
}

void AlertDispatch::Queued(int row, const std::string& text) {
  observer_->AlertReported(AlertEvent::Queued(row, text, Pending()));
}

Delivery AlertDispatch::DeliverThrough(int account, const Letter& letter, int row, bool show_box) {
  const Delivery d = mail_.Send(account, letter);
  observer_->AlertReported(
      d.delivered
          ? AlertEvent::Delivered(row, letter.text, MailAccountName(account), d.server)
          : AlertEvent::Failed(row, letter.text, MailAccountName(account), d.error, d.server));
  if (!d.delivered && show_box) view_.ShowMessage(d.error);
  return d;
}

void AlertDispatch::SendTestMail() {
  const Letter letter{kDownSubject, "IP " + test_address_ + " is Down!"};
  if (queue_ != nullptr) {
    return SendLater(letter, TickedTestMailAccounts(Ticked()), 0, Sent::kTestMail);
  }
  VisitTestMailAccounts(Ticked(), [&](int account) {
    const Delivery d = DeliverThrough(account, letter, 0, /*show_box=*/true);
    if (d.close_failure) std::rethrow_exception(d.close_failure);
    return true;
  });
}

void AlertDispatch::Raise(const std::string& text, const std::string& subject, int row) {
  const std::vector<int> accounts = TickedAlertAccounts(Ticked());
  if (outbox_ == nullptr || accounts.empty()) return SendNow(text, subject, row);
  QueuedAlert alert{clock_.Now(), subject, {}, text};
  for (int account : accounts) alert.accounts.push_back(MailAccountName(account));
  uint64_t sequence = 0;
  std::string trouble;
  if (!Keep(alert, &sequence, &trouble)) {
    SendNow(text, subject, row);
    Trouble(trouble);
    return;
  }
  if (busy_) {
    Queued(row, text);
    return;
  }
  DeliverOutbox(sequence, Pass::kRaised, row);
}

void AlertDispatch::SendNow(const std::string& text, const std::string& subject, int row) {
  const Letter letter{subject, text};
  if (queue_ != nullptr) return SendLater(letter, TickedAlertAccounts(Ticked()), row, Sent::kAlert);
  VisitAlertAccounts(Ticked(), [&](int account) {
    const Delivery d = DeliverThrough(account, letter, row, /*show_box=*/true);
    if (d.close_failure) std::rethrow_exception(d.close_failure);
    return true;
  });
}

// ---- Deliveries from the worker -------------------------------------------------

class AlertDispatch::MailSwitch {
 public:
  explicit MailSwitch(std::function<void()> work) : work_(std::move(work)) {}
  // The first call runs the work; later ones do nothing.
  void RunOnce() {
    if (!ran_.exchange(true)) work_();
  }
  bool Ran() const { return ran_.load(); }

 private:
  const std::function<void()> work_;
  std::atomic<bool> ran_{false};
};

void AlertDispatch::DeliverFromWorker(bool on) {
  worker_wanted_ = on;
  if (on) {
    if (queue_ == nullptr) queue_ = std::make_unique<DeliveryQueue>();
    return;
  }
  if (queue_ == nullptr) return;
  if (outstanding_ == 0) return EndWorker();
  // Not now: that would wait here for the delivery under way and drop the
  // alerts queued behind it. The worker goes once it has reported them.
  if (std::exchange(ending_worker_, true)) return;
  WhenDelivered([this] {
    ending_worker_ = false;
    if (!worker_wanted_ && queue_ != nullptr) DeliverFromWorker(false);
  });
}

void AlertDispatch::EndWorker() {
  queue_.reset();  // what still waited is dropped with it
  // but not new mail settings: the deliveries here use them from now on.
  for (const auto& s : std::exchange(switches_, {})) s->RunOnce();
  GiveUpWorkerPass();
  outstanding_ = 0;
  SentLater();
}

void AlertDispatch::BetweenDeliveries(std::function<void()> work) {
  if (queue_ == nullptr) return work();
  std::erase_if(switches_, [](const std::shared_ptr<MailSwitch>& s) { return s->Ran(); });
  auto s = std::make_shared<MailSwitch>(std::move(work));
  switches_.push_back(s);
  queue_->Post([s] { s->RunOnce(); });
}

void AlertDispatch::WhenDelivered(std::function<void()> done) {
  if (outstanding_ == 0) return done();
  when_delivered_.push_back(std::move(done));
}

void AlertDispatch::SendLater(const Letter& letter, std::vector<int> accounts, int row, Sent sent) {
  if (accounts.empty()) return;
  ++outstanding_;
  queue_->Post([this, letter, accounts = std::move(accounts), row, sent] {
    for (int account : accounts) {
      Delivery d;
      try {
        d = mail_.Send(account, letter);
      } catch (const MonitorStopped&) {
        return;  // the program is stopping: nothing to report
      }
      PostCall(this, [this, account, letter, row, d, sent] {
        DeliveredLater(account, letter, row, d, sent);
      });
      if (d.close_failure) break;  // the accounts not yet tried are skipped
    }
    PostCall(this, [this] {
      --outstanding_;
      SentLater();
    });
  });
}

void AlertDispatch::DeliveredLater(int account, const Letter& letter, int row, const Delivery& d,
                                   Sent sent) {
  if (stop_.Requested()) return;
  const std::string name = MailAccountName(account);
  observer_->AlertReported(d.delivered
                               ? AlertEvent::Delivered(row, letter.text, name, d.server)
                               : AlertEvent::Failed(row, letter.text, name, d.error, d.server));
  std::string failure;
  try {
    if (!d.delivered) view_.ShowMessage(d.error);
    if (!d.close_failure) return;
    std::rethrow_exception(d.close_failure);
  } catch (const MonitorStopped&) {
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (stop_.Requested()) return;
  // The test mail's close failure ends as it does when the button's handler
  // raises it: reported as a failed handler, shown in the error box.
  if (sent == Sent::kTestMail) observer_->HandlerFailed(failure);
  try {
    view_.ShowErrorBox(ErrorBoxText(failure));
  } catch (const MonitorStopped&) {
  }
}

void AlertDispatch::SentLater() {
  if (outstanding_ > 0) return;
  auto done = std::move(when_delivered_);
  when_delivered_.clear();
  for (auto& d : done) d();
}

bool AlertDispatch::Keep(const QueuedAlert& alert, uint64_t* sequence, std::string* trouble) {
  try {
    outbox_->Open();
    *sequence = outbox_->Add(alert);
  } catch (const OutboxError& e) {
    *trouble = e.what();
    observer_->OutboxLog(*trouble + "; the alert is sent without the outbox");
    return false;
  }
  troubled_ = false;
  observer_->OutboxChanged(Pending());
  return true;
}

void AlertDispatch::Trouble(const std::string& message) {
  if (troubled_) return;
  troubled_ = true;
  view_.ShowMessage(message +
                    ". Until this is mended, an alert that no mail account delivers is lost.");
}

// ---- Delivering the outbox -----------------------------------------------------

std::vector<int> AlertDispatch::AccountsFor(const QueuedAlert& alert) {
  const std::vector<int> ticked = TickedAlertAccounts(Ticked());
  std::vector<int> accounts;
  for (const std::string& name : alert.accounts) {
    const int account = MailAccountNumber(name);
    if (std::find(ticked.begin(), ticked.end(), account) != ticked.end()) {
      accounts.push_back(account);
    }
  }
  return accounts.empty() ? ticked : accounts;
}

void AlertDispatch::DeliverOutbox(uint64_t fresh, Pass pass, int fresh_row) {
  if (queue_ != nullptr) return StartWorkerPass(fresh, pass, fresh_row);
  FlagGuard busy(busy_);
  std::exception_ptr close_failure;
  int delivered_before = 0;  // older alerts delivered by this pass
  OutboxEntry entry;         // a copy: the list may change
  while (!close_failure && outbox_->Oldest(&entry)) {
    stop_.ThrowIfStopped();
    const std::vector<int> accounts = AccountsFor(entry.alert);
    if (accounts.empty()) {
      observer_->OutboxLog("outbox: no alert account is selected; " + AlertCount(Pending()) +
                           " wait");
      break;
    }
    const std::string body = entry.sequence == fresh
                                 ? entry.alert.text
                                 : RaisedText(entry.alert.text, entry.alert.raised, clock_.Now());
    bool delivered = false;
    for (int account : accounts) {
      const Delivery d =
          DeliverThrough(account, Letter{entry.alert.subject, body},
                         entry.sequence == fresh ? fresh_row : 0, pass == Pass::kRaised);
      delivered = delivered || d.delivered;
      if (d.close_failure) {
        close_failure = d.close_failure;  // the accounts not yet tried are skipped
        break;
      }
    }
    if (!delivered) break;  // it waits, and so do the ones behind it
    outbox_->Remove(entry.sequence);
    delivered_before += entry.sequence != fresh;
    observer_->OutboxChanged(Pending());
  }
  if (delivered_before > 0) {
    observer_->OutboxLog("outbox: delivered " + AlertCount(delivered_before) + " that waited; " +
                         std::to_string(Pending()) + " waiting");
  }
  if (fresh != 0 && outbox_->Find(fresh, &entry)) Queued(fresh_row, entry.alert.text);
  ScheduleRetry(pass);
  if (close_failure) {
    if (pass == Pass::kRaised) std::rethrow_exception(close_failure);
    try {
      std::rethrow_exception(close_failure);
    } catch (const std::exception& e) {
      observer_->OutboxLog(std::string("outbox: closing a mail connection failed: ") + e.what());
    }
  }
}

void AlertDispatch::ScheduleRetry(Pass after) {
  if (outbox_->Size() == 0) {
    timer_.stop();
    return;
  }
  // A new alert does not put off a retry already due.
  if (after == Pass::kRaised && timer_.isActive()) return;
  std::chrono::milliseconds next = kFirstRetry;
  if (after == Pass::kRetry && timer_.interval() > 0) {
    next = std::min<std::chrono::milliseconds>(2 * RetryInterval(), kLongestRetry);
  }
  timer_.start(next);
  observer_->OutboxLog("outbox: " + AlertCount(Pending()) + " waiting; next try at " +
                       LongTimeText(clock_.Now() + next.count() / kMillisecondsPerDay));
}

void AlertDispatch::Retry() {
  if (outbox_ == nullptr) return;
  if (busy_) {
    // A delivery waits in a message box; it goes on with the outbox itself.
    timer_.start(std::max<std::chrono::milliseconds>(RetryInterval(), kFirstRetry));
    return;
  }
  try {
    outbox_->Open();
  } catch (const OutboxError& e) {
    observer_->OutboxLog(e.what());
    Trouble(e.what());
    return;
  }
  observer_->OutboxChanged(Pending());
  if (outbox_->Size() > 0) DeliverOutbox(0, Pass::kRetry, 0);
}

}  // namespace tallyvox::monitor
