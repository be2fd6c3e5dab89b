// Two `tallyvox --headless` instances watching the same failing server and
// posting to one real Alertmanager (Debian's), whose webhook receiver is a
// small HTTP sink in this test: one notification for the address, not one
// per instance, and a resolution once the server answers again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/server.h"
#include "support/app_fixture.h"
#include "support/mwserver_process.h"
#include "support/prometheus_peers.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::AlertmanagerServer;
using tallyvox::testing::ChildProcess;
using tallyvox::testing::MwServerProcess;
using tallyvox::testing::PickFreePort;
using tallyvox::testing::TempDir;

// The webhook receiver: keeps every notification's body.
class WebhookSink {
 public:
  WebhookSink() {
    http::Router router;
    router.Add("POST", "/hook", [this](const http::Request& r) {
      std::lock_guard<std::mutex> lock(mu_);
      bodies_.push_back(r.body);
      return http::StatusResponse(200);
    });
    http::ServerOptions options;
    options.limits.max_body = 256 * 1024;  // a notification carries every alert of its group
    server_ = std::make_unique<http::Server>("127.0.0.1", 0, std::move(router), options);
  }
  int port() const { return server_->port(); }
  std::vector<std::string> Bodies() {
    std::lock_guard<std::mutex> lock(mu_);
    return bodies_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> bodies_;
  std::unique_ptr<http::Server> server_;
};

std::string AlertmanagerConfig(int sink_port) {
  return "route:\n"
         "  receiver: sink\n"
         "  group_by: [address]\n"
         "  group_wait: 2s\n"
         "  group_interval: 2s\n"
         "  repeat_interval: 1h\n"
         "receivers:\n"
         "  - name: sink\n"
         "    webhook_configs:\n"
         "      - url: http://127.0.0.1:" +
         std::to_string(sink_port) +
         "/hook\n"
         "        send_resolved: true\n";
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class AlertmanagerAppTest : public AppTest {};

TEST_F(AlertmanagerAppTest, TwoInstancesOneNotificationPerAddressAndAResolution) {
  WebhookSink sink;
  AlertmanagerServer alertmanager(AlertmanagerConfig(sink.port()));
  // Nobody listens on the server's port until it comes back.
  const int port = PickFreePort();
  const std::string address = "127.0.0.1";
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<std::unique_ptr<ChildProcess>> apps;
  for (const char* instance : {"site-a", "site-b"}) {
    dirs.push_back(std::make_unique<TempDir>());
    AppSetup a;
    a.interval = "1000";
    a.probe_port = port;
    a.request_timeout = 1;
    a.erols_use = false;  // no mail: the alerts go to Alertmanager alone
    a.folder = MakeAuditTable(*dirs.back());
    a.mail_port = peers_->smtp->port();
    a.ca_file = peers_->ca.ca_cert_file();
    a.rows = {{7, address}};
    a.alerts = "alertmanager = [\"" + alertmanager.Url() + "\"]\ninstance = \"" + instance + "\"\n";
    const std::string path = dirs.back()->File("tallyvox.toml");
    tallyvox::testing::WriteFile(path, SettingsText(a));
    ::chmod(path.c_str(), 0600);
    apps.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{Tallyvox(), "--headless", "--log", "changes", "--config", path}));
  }
  // One notification for the address, carrying both instances' alerts.
  ASSERT_TRUE(WaitUntil([&] { return !sink.Bodies().empty(); }, 15s))
      << alertmanager.Output() << apps[0]->Output();
  std::this_thread::sleep_for(3s);  // two group intervals: no second one comes
  std::vector<std::string> bodies = sink.Bodies();
  ASSERT_EQ(bodies.size(), 1u) << bodies.back();
  EXPECT_NE(bodies[0].find("\"status\":\"firing\""), std::string::npos) << bodies[0];
  EXPECT_NE(bodies[0].find("\"groupLabels\":{\"address\":\"127.0.0.1\"}"), std::string::npos)
      << bodies[0];
  EXPECT_EQ(Count(bodies[0], "\"fingerprint\""), 2) << bodies[0];  // two alerts
  EXPECT_NE(bodies[0].find("\"commonLabels\":{\"address\":\"127.0.0.1\",\"alertname\":"
                           "\"TallyvoxServerDown\",\"row\":\"7\"}"),
            std::string::npos)
      << bodies[0];
  EXPECT_EQ(Count(bodies[0], "\"instance\":\"site-a\""), 1) << bodies[0];
  EXPECT_EQ(Count(bodies[0], "\"instance\":\"site-b\""), 1) << bodies[0];
  EXPECT_NE(bodies[0].find("\"summary\":\"IP 127.0.0.1 Is Down!\""), std::string::npos);
  EXPECT_NE(bodies[0].find("\"row\":\"7\""), std::string::npos);

  // The server comes back: both instances resolve, and the last
  // notification says so.
  MwServerProcess server({"--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(WaitUntil(
      [&] {
        bodies = sink.Bodies();
        return bodies.back().find("\"status\":\"resolved\",\"alerts\"") != std::string::npos;
      },
      15s))
      << bodies.back();
  EXPECT_EQ(Count(bodies.back(), "\"status\":\"resolved\""), 3)
      << bodies.back();  // group, 2 alerts
  for (auto& app : apps) app->Stop();
}

}  // namespace
}  // namespace tallyvox::monitor::testing
