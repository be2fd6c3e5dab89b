// Test doubles of the alert side: mail accounts that record every delivery
// into the shared call log and fail on request, mail accounts that hold each
// delivery until the test lets it go (and a dispatch with the delivery worker
// over them), an outbox file system that
// fails on request as a full disk or a read-only folder would, an observer
// that records the alert reports, and a monitor over the fakes that alerts
// through a real AlertDispatch.
#ifndef TALLYVOX_TESTS_SUPPORT_ALERT_FAKES_H_
#define TALLYVOX_TESTS_SUPPORT_ALERT_FAKES_H_

#include <array>
#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "alerts/alert_dispatch.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "monitor/alert_stats.h"
#include "outbox/outbox_env.h"
#include "support/monitor_fakes.h"

namespace tallyvox::monitor::testing {

// The mail accounts. Each delivery is one log entry,
// "send erols Server Down! | IP 10.0.0.5 Is Down!"; an account in `down`
// fails with "refused" (which the dispatch shows in a message box when it
// shows one).
class FakeMail : public MailDelivery {
 public:
  explicit FakeMail(CallLog& log) : log_(log) {}
  Delivery Send(int account, const Letter& letter) override {
    const std::string name = MailAccountName(account);
    log_.push_back("send " + name + " " + letter.subject + " | " + letter.text);
    Delivery d;
    d.delivered = down.count(name) == 0;
    if (d.delivered) {
      delivered.push_back(letter.text);
    } else {
      d.error = "refused";
    }
    return d;
  }

  std::set<std::string> down;          // account names that fail
  std::vector<std::string> delivered;  // texts, in order

 private:
  CallLog& log_;
};

// Mail accounts whose deliveries wait until the test lets them go, from
// the delivery worker's thread. Each delivery names the server set when it
// began ("mail.example.net:465" unless SetServer), fails with "refused"
// while down, and fails to close its connection ("closing failed") for an
// account in SetClosingFails.
class HeldMail : public MailDelivery {
 public:
  Delivery Send(int account, const Letter& letter) override EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    texts_.push_back(letter.text);
    accounts_.push_back(MailAccountName(account));
    Delivery d;
    d.server = server_;
    cv_.SignalAll();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (let_go_ < texts_.size()) {
      if (!cv_.WaitUntil(&mu_, deadline)) break;
    }
    d.delivered = !down_;
    if (down_) d.error = "refused";
    if (closing_fails_.count(account) != 0) {
      d.close_failure = std::make_exception_ptr(std::runtime_error("closing failed"));
    }
    return d;
  }
  // Lets the first `n` deliveries (all of those tried so far and to come
  // when `n` is large) go.
  void LetGo(size_t n) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    let_go_ = n;
    cv_.SignalAll();
  }
  void SetDown(bool down) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    down_ = down;
  }
  void SetServer(const std::string& server) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    server_ = server;
  }
  void SetClosingFails(std::set<int> accounts) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    closing_fails_ = std::move(accounts);
  }
  // The letters' texts and the accounts' names, in the order tried.
  std::vector<std::string> Texts() const EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    return texts_;
  }
  std::vector<std::string> Accounts() const EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    return accounts_;
  }

 private:
  mutable Mutex mu_;
  CondVar cv_;
  std::vector<std::string> texts_ GUARDED_BY(mu_);
  std::vector<std::string> accounts_ GUARDED_BY(mu_);
  size_t let_go_ GUARDED_BY(mu_) = 0;
  bool down_ GUARDED_BY(mu_) = false;
  std::string server_ GUARDED_BY(mu_) = "mail.example.net:465";
  std::set<int> closing_fails_ GUARDED_BY(mu_);
};

// The real file system, except that the operations named fail with an errno
// value while the fault is on.
class FaultOutboxEnv : public OutboxEnv {
 public:
  enum Op { kWrite, kRename, kSync, kMakeFolder, kRemove };
  void Fail(Op op, int err) { faults_[op] = err; }
  void Heal() { faults_ = {}; }

  int ListFolder(const std::string& folder, std::vector<std::string>* names) override {
    return real_->ListFolder(folder, names);
  }
  int MakeFolder(const std::string& folder) override {
    return Fault(kMakeFolder) ? Fault(kMakeFolder) : real_->MakeFolder(folder);
  }
  bool Exists(const std::string& path) override { return real_->Exists(path); }
  bool IsFolder(const std::string& path) override { return real_->IsFolder(path); }
  int ReadFile(const std::string& path, size_t max, std::string* contents, bool* longer) override {
    return real_->ReadFile(path, max, contents, longer);
  }
  int Inspect(const std::string& path, bool follow, FileFacts* facts) override {
    return real_->Inspect(path, follow, facts);
  }
  unsigned User() override { return real_->User(); }
  int CreateSyncedFile(const std::string& path, std::string_view data) override {
    if (Fault(kWrite)) {
      // A full disk takes part of the data first.
      real_->CreateSyncedFile(path, data.substr(0, data.size() / 2));
      return Fault(kWrite);
    }
    return real_->CreateSyncedFile(path, data);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Fault(kRename) ? Fault(kRename) : real_->Rename(from, to);
  }
  int Remove(const std::string& path) override {
    return Fault(kRemove) ? Fault(kRemove) : real_->Remove(path);
  }
  int SyncFolder(const std::string& folder) override {
    return Fault(kSync) ? Fault(kSync) : real_->SyncFolder(folder);
  }
  int LockFolder(const std::string& folder, int* handle) override {
    return real_->LockFolder(folder, handle);
  }
  void UnlockFolder(int handle) override { real_->UnlockFolder(handle); }

 private:
  int Fault(Op op) const { return faults_[op]; }
  OutboxEnv* real_ = OutboxEnv::Default();
  std::array<int, 5> faults_{};
};

// The alert reports, as lines: "held 5 IP 10.0.0.5 Is Down! (failure 1 of 3)",
// "queued IP 10.0.0.5 Is Down! (2)", and the outbox's log.
struct AlertNotes : MonitorObserver {
  void AlertReported(const AlertEvent& e) override {
    events.push_back(e);
    if (e.outcome == AlertEvent::Outcome::kHeldBack) {
      held.push_back(std::to_string(e.row) + " " + e.text + " (" + e.reason + ")");
    } else if (e.outcome == AlertEvent::Outcome::kQueued) {
      queued.push_back(e.text + " (" + std::to_string(e.pending) + ")");
    }
  }
  void OutboxChanged(int n) override { pending = n; }
  void OutboxLog(const std::string& line) override { log.push_back(line); }
  void HandlerFailed(const std::string& message) override { handler_failed.push_back(message); }
  bool Logged(const std::string& needle) const {
    for (const std::string& l : log) {
      if (l.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::string> held, queued, log, handler_failed;
  std::vector<AlertEvent> events;
  int pending = -1;
};

// An AlertDispatch over HeldMail with the delivery worker, once Start ran;
// erols ticked, the test address 192.0.2.9.
struct WorkerDispatch {
  void Start(const AlertSettings& settings = {}) {
    view.inputs.SetChecked(MailAccountBox(4), true);
    observers.Add(&notes);
    dispatch = std::make_unique<AlertDispatch>(settings, mail, view, clock, stop, &observers);
    dispatch->SetTestAddress("192.0.2.9");
    dispatch->DeliverFromWorker(true);
  }
  ~WorkerDispatch() {
    mail.LetGo(1000);
    dispatch.reset();
  }
  bool WaitForTexts(size_t n) {
    return SpinUntil([&] { return mail.Texts().size() >= n; });
  }
  bool WaitUntilDelivered() {
    bool delivered = false;
    dispatch->WhenDelivered([&] { delivered = true; });
    return SpinUntil([&] { return delivered; });
  }
  // "erols delivered IP ... @ server" / "erols failed ...", in order.
  std::vector<std::string> Outcomes() const {
    std::vector<std::string> lines;
    for (const AlertEvent& e : notes.events) {
      const bool ok = e.outcome == AlertEvent::Outcome::kDelivered;
      lines.push_back(e.account + (ok ? " delivered " : " failed ") + e.text + " @ " + e.server);
    }
    return lines;
  }

  CallLog log;
  StopSignal stop;
  RecordingView view{log, stop};
  HeldMail mail;
  FakeClock clock;
  AlertNotes notes;
  ObserverList observers;
  std::unique_ptr<AlertDispatch> dispatch;
};

// A monitor over the fakes whose alerts go through an AlertDispatch with
// `settings`, the fake mail accounts (erols selected) and the test's clock.
struct DispatchMonitor {
  explicit DispatchMonitor(const AlertSettings& settings, OutboxEnv* env = OutboxEnv::Default()) {
    view.inputs.SetChecked("CheckBox114", true);
    observers.Add(&notes);
    observers.Add(&stats);
    dispatch = std::make_unique<AlertDispatch>(settings, mail, view, clock, stop, &observers, env);
    monitor = std::make_unique<Monitor>(view, probe, audit, *dispatch, clock, stop);
  }
  // Lets the start-up retry run, as the monitor thread's event loop would.
  void StartUp() {
    SpinUntil([&] { return !dispatch->RetryScheduled(); }, 2000);
  }
  // Ticks rows and gives each the address "10.0.0.<row>".
  void Tick(std::initializer_list<int> rows) {
    for (int row : rows) {
      view.inputs.SetChecked(Roster::Row(row).check_box, true);
      view.inputs.SetText(Roster::Row(row).edit, FakeMonitor::Address(row));
    }
  }
  // The deliveries logged so far ("send ..."), and clears the log.
  std::vector<std::string> TakeSends() {
    std::vector<std::string> sends;
    for (const std::string& e : log) {
      if (e.rfind("send ", 0) == 0) sends.push_back(e);
    }
    log.clear();
    return sends;
  }

  CallLog log;
  StopSignal stop;
  RecordingView view{log, stop};
  FakeProbe probe{log};
  FakeAudit audit{log};
  FakeMail mail{log};
  FakeClock clock;
  AlertNotes notes;
  AlertStats stats;
  ObserverList observers;
  std::unique_ptr<AlertDispatch> dispatch;
  std::unique_ptr<Monitor> monitor;
};

}  // namespace tallyvox::monitor::testing

#endif  // TALLYVOX_TESTS_SUPPORT_ALERT_FAKES_H_
