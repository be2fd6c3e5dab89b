// A monitor over the real components (the middleware client, the audit
// table, the mail accounts) on the test's thread, with a recording view, and
// the peers it talks to: mwserver on loopback, a TLS SMTP server (aiosmtpd
// with a certificate of a test CA) and an audit table made with dbetool.
#ifndef TALLYVOX_TESTS_SUPPORT_REAL_FIXTURE_H_
#define TALLYVOX_TESTS_SUPPORT_REAL_FIXTURE_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "assembly/assembly.h"
#include "assembly/runner.h"
#include "audit/dbe_table.h"
#include "config/settings_file.h"
#include "net/socket_registry.h"
#include "support/mail_servers.h"
#include "support/monitor_fakes.h"
#include "support/mwserver_process.h"
#include "support/support.h"
#include "support/test_ca.h"

namespace tallyvox::monitor::testing {

using tallyvox::testing::AiosmtpdServer;
using tallyvox::testing::MwServerProcess;
using tallyvox::testing::TempDir;

constexpr char kMailUser[] = "monitor@quorvant.example";
constexpr char kMailPassword[] = "pa55word";

// Records the monitor's reports (on the test's thread).
struct Reports : MonitorObserver {
  // The probes made; rows passed over are left out.
  void ProbeFinished(const ProbeEvent& e) override {
    if (e.outcome != ProbeEvent::Outcome::kSkipped) probes.push_back(e);
  }
  void CycleFinished(const CycleEvent& e) override { cycles.push_back(e); }
  void CycleSkipped() override { ++skipped; }
  void AlertReported(const AlertEvent& e) override {
    if (e.outcome == AlertEvent::Outcome::kDelivered) {
      alerts.push_back(e.account + " delivered " + e.text);
    } else if (e.outcome == AlertEvent::Outcome::kFailed) {
      alerts.push_back(e.account + " failed " + e.text);
    } else {
      return;
    }
    servers.push_back(e.server);
  }
  std::vector<ProbeEvent> probes;
  std::vector<CycleEvent> cycles;
  std::vector<std::string> alerts;
  std::vector<std::string> servers;  // the server of each of `alerts`
  int skipped = 0;
};

// Settings for tests: the audit table in `folder`, every account on the
// local TLS SMTP server (host 127.0.0.1, trusting the test CA), no row
// ticked, erols selected.
inline Settings TestSettings(const std::string& folder, int probe_port, int mail_port,
                             const std::string& ca_file) {
  Settings s;
  s.path = "test";
  s.probe.port = probe_port;
  s.probe.connect_timeout = 2;
  s.probe.request_timeout = 2;
  s.audit_folder = folder + "/";
  s.mail.port = mail_port;
  s.mail.test_address = "192.0.2.1";
  s.mail.from = {"Quorvant", "monitor@quorvant.example"};
  s.mail.recipient = {"Quell", "quell@home.example"};
  s.mail.phone = {"Quell Phone", "5550100@txt.example"};
  for (MailAccountSettings& a : s.mail.accounts) {
    a.host = "127.0.0.1";
    a.user = kMailUser;
    a.password = kMailPassword;
    a.ca_file = ca_file;
    a.reply_timeout_ms = 10000;
  }
  s.mail.accounts[3].use = true;
  return s;
}

// The peers, shared by a test suite (starting aiosmtpd takes a moment).
struct Peers {
  tallyvox::testing::TestCA ca;
  std::unique_ptr<AiosmtpdServer> smtp;
  Peers() { smtp = std::make_unique<AiosmtpdServer>(ca.Localhost(), kMailUser, kMailPassword); }
};

// A test suite that shares the peers; each test has its own folder.
class PeersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { peers_ = new Peers; }
  static void TearDownTestSuite() {
    delete peers_;
    peers_ = nullptr;
  }
  size_t MailsSoFar() { return peers_->smtp->Messages(0, std::chrono::milliseconds(0)).size(); }

  static inline Peers* peers_ = nullptr;
  TempDir dir_;
};

// A TCP socket listening on 127.0.0.1 at a port of the system's choice,
// never accepting: connects complete in its queue, and nothing is ever sent.
class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    addr_.sin_family = AF_INET;
    addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_);
    ::listen(fd_, backlog);
    socklen_t len = sizeof addr_;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr_), &len);
  }
  ~LoopbackListener() { ::close(fd_); }
  int port() const { return ntohs(addr_.sin_port); }

 private:
  int fd_ = -1;
  sockaddr_in addr_{};
};

// A view whose writes may come from the monitor thread while the test reads.
class CountingView : public StoreView {
 public:
  explicit CountingView(InputStore& inputs) : StoreView(inputs) {}
  void SetLabelText(const std::string& control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    texts_.push_back(control + " " + text);
  }
  void SetLabelColour(const std::string&, TColour) override {}
  void RepaintLabel(const std::string&) override {}
  void AppendListLine(const std::string&, const std::string&) override {}
  void SetButtonCaption(const std::string&, const std::string&) override {}
  void ShowMessage(const std::string&) override { ++boxes; }
  void ShowErrorBox(const std::string&) override { ++boxes; }
  void Beep() override { ++beeps; }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_;
  }
  std::atomic<int> boxes{0};
  std::atomic<int> beeps{0};

 private:
  std::mutex mu_;
  std::vector<std::string> texts_;
};

// One monitor over the real components, built from `settings`.
struct RealMonitor {
  explicit RealMonitor(Settings s) : settings(std::move(s)) {
    net::SocketRegistry::Reopen();
    FillInputs(settings, view.inputs);
    assembly = std::make_unique<MonitorAssembly>(settings, view, stop, &reports);
  }
  Monitor& monitor() { return assembly->monitor(); }
  // Ticks `row` and sets its address.
  void Row(int row, const std::string& address) {
    view.inputs.SetChecked(Roster::Row(row).check_box, true);
    view.inputs.SetText(Roster::Row(row).edit, address);
  }

  Settings settings;
  CallLog log;
  StopSignal stop{ShutDownSockets};
  RecordingView view{log, stop};
  Reports reports;
  std::unique_ptr<MonitorAssembly> assembly;
};

// A fresh audit table (dbetool's layout) in `dir`; the folder to configure.
inline std::string MakeAuditTable(const TempDir& dir) {
  if (!tallyvox::testing::ReadFile(dir.File("config.dbf")).empty()) return dir.path();
  const int rc = tallyvox::testing::RunCommand(tallyvox::testing::BinaryDir() +
                                               "/tools/dbetool create " + dir.File("config.dbf"));
  EXPECT_EQ(rc, 0);
  return dir.path();
}

// The visible records of the audit table: "address|time" each.
inline std::vector<std::string> AuditRecords(const std::string& folder) {
  audit::TDbeTable table;
  table.SetDatabaseName(folder + "/");
  table.SetTableName("config.dbf");
  table.SetActive(true);
  std::vector<std::string> records;
  for (table.First(); !table.Eof(); table.Next()) {
    records.push_back(table.FieldText("ipaddress") + "|" + table.FieldText("time"));
  }
  return records;
}

}  // namespace tallyvox::monitor::testing

#endif  // TALLYVOX_TESTS_SUPPORT_REAL_FIXTURE_H_
