// The outbox's passes with the delivery worker (DeliverFromWorker(true),
// parallel probing): this thread picks the oldest alert, the accounts it
// goes through and its text, as a pass on this thread does; the worker
// delivers it; the outcome comes back as a posted call, which reports each
// account's delivery (with the message box of a failure, for a new alert's
// pass), removes the alert's file when an account took it and picks the
// next. So a pass goes in the order raised, one alert at a time, holds no
// probe, and a file goes only after a delivery that succeeded.
#include <exception>
#include <utility>

#include "alerts/alert_dispatch.h"
#include "monitor/post_call.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {

struct AlertDispatch::WorkerPass {
  uint64_t fresh = 0;
  Pass pass = Pass::kRaised;
  int fresh_row = 0;
  int delivered_before = 0;  // older alerts delivered by this pass
};

void AlertDispatch::StartWorkerPass(uint64_t fresh, Pass pass, int fresh_row) {
  busy_ = true;
  ++outstanding_;
  pass_ = std::make_shared<WorkerPass>(WorkerPass{fresh, pass, fresh_row, 0});
  NextInPass(pass_);
}

void AlertDispatch::NextInPass(const std::shared_ptr<WorkerPass>& p) {
  OutboxEntry entry;
  if (!outbox_->Oldest(&entry)) return EndPass(p, nullptr, false);
  const std::vector<int> accounts = AccountsFor(entry.alert);
  if (accounts.empty()) {
    observer_->OutboxLog("outbox: no alert account is selected; " + AlertCount(Pending()) +
                         " wait");
    return EndPass(p, nullptr, false);
  }
  const bool fresh = entry.sequence == p->fresh;
  const Letter letter{
      entry.alert.subject,
      fresh ? entry.alert.text : RaisedText(entry.alert.text, entry.alert.raised, clock_.Now())};
  const int row = fresh ? p->fresh_row : 0;
  const uint64_t sequence = entry.sequence;
  queue_->Post([this, p, accounts, letter, row, sequence] {
    std::vector<std::pair<int, Delivery>> outcomes;
    for (int account : accounts) {
      try {
        outcomes.emplace_back(account, mail_.Send(account, letter));
      } catch (const MonitorStopped&) {
        return;  // the program is stopping: nothing to report
      }
      if (outcomes.back().second.close_failure) break;  // the others are skipped
    }
    PostCall(this, [this, p, letter, row, sequence, outcomes] {
      PassDelivered(p, letter, row, sequence, outcomes);
    });
  });
}

void AlertDispatch::PassDelivered(const std::shared_ptr<WorkerPass>& p, const Letter& letter,
                                  int row, uint64_t sequence,
                                  const std::vector<std::pair<int, Delivery>>& outcomes) {
  if (p != pass_ || stop_.Requested()) return;  // the pass was given up
  bool delivered = false;
  std::exception_ptr close_failure;
  try {
    for (const auto& [account, d] : outcomes) {
      const std::string name = MailAccountName(account);
      observer_->AlertReported(d.delivered
                                   ? AlertEvent::Delivered(row, letter.text, name, d.server)
                                   : AlertEvent::Failed(row, letter.text, name, d.error, d.server));
      delivered = delivered || d.delivered;
      if (!d.delivered && p->pass == Pass::kRaised) view_.ShowMessage(d.error);
      if (d.close_failure) close_failure = d.close_failure;
    }
    if (p != pass_) return;  // given up while a box was open
    if (delivered) {
      outbox_->Remove(sequence);
      p->delivered_before += sequence != p->fresh;
      observer_->OutboxChanged(Pending());
    }
  } catch (const MonitorStopped&) {
    return;
  } catch (const std::exception&) {
    return EndPass(p, std::current_exception(), false);
  }
  if (!delivered || close_failure) return EndPass(p, close_failure, true);
  NextInPass(p);
}

void AlertDispatch::EndPass(const std::shared_ptr<WorkerPass>& p, std::exception_ptr failure,
                            bool closing) {
  if (p != pass_) return;
  pass_.reset();
  busy_ = false;
  if (p->delivered_before > 0) {
    observer_->OutboxLog("outbox: delivered " + AlertCount(p->delivered_before) + " that waited; " +
                         std::to_string(Pending()) + " waiting");
  }
  OutboxEntry entry;
  if (p->fresh != 0 && outbox_->Find(p->fresh, &entry)) Queued(p->fresh_row, entry.alert.text);
  ScheduleRetry(p->pass);
  --outstanding_;
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const MonitorStopped&) {
    } catch (const std::exception& e) {
      // As a pass on this thread: a new alert's failure reaches the default
      // handler's box, a retry's the log.
      if (p->pass == Pass::kRaised) {
        try {
          view_.ShowErrorBox(ErrorBoxText(e.what()));
        } catch (const MonitorStopped&) {
        }
      } else {
        observer_->OutboxLog(std::string(closing ? "outbox: closing a mail connection failed: "
                                                 : "outbox: the retry failed: ") +
                             e.what());
      }
    }
  }
  SentLater();
}

void AlertDispatch::GiveUpWorkerPass() {
  if (!pass_) return;
  pass_.reset();
  busy_ = false;
  ScheduleRetry(Pass::kRaised);
}

}  // namespace tallyvox::monitor
