#include "support/prometheus_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <stdexcept>
#include <thread>

namespace tallyvox::testing {
namespace {

struct HttpAnswer {
  int status = 0;
  std::string body;
};

HttpAnswer HttpGet(int port, const std::string& path) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(std::chrono::seconds(2));
  client.set_read_timeout(std::chrono::seconds(5));
  const auto r = client.Get(path);
  return r ? HttpAnswer{r->status, r->body} : HttpAnswer{};
}

}  // namespace

int PickFreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

WebPeer::WebPeer(const std::string& program, std::vector<std::string> args,
                 std::chrono::milliseconds startup) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = PickFreePort();
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--web.listen-address=127.0.0.1:" + std::to_string(port_));
    process_ = std::make_unique<ChildProcess>(argv);
    const auto end = std::chrono::steady_clock::now() + startup;
    while (std::chrono::steady_clock::now() < end && process_->Running()) {
      if (HttpGet(port_, "/-/ready").status == 200) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Someone took the port in between, or it failed: try another one.
    process_->Stop();
  }
  throw std::runtime_error(program + " did not get ready: " + process_->Output());
}

std::string WebPeer::Get(const std::string& path) const { return HttpGet(port_, path).body; }

int WebPeer::PostJson(const std::string& path, const std::string& body) const {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(std::chrono::seconds(2));
  client.set_read_timeout(std::chrono::seconds(5));
  const auto r = client.Post(path, body, "application/json");
  return r ? r->status : 0;
}

PrometheusServer::PrometheusServer(const std::string& config) {
  WriteFile(dir_.File("prometheus.yml"), config);
  peer_ = std::make_unique<WebPeer>(
      "prometheus", std::vector<std::string>{"--config.file=" + dir_.File("prometheus.yml"),
                                             "--storage.tsdb.path=" + dir_.File("data")});
}

std::string PrometheusServer::Value(const std::string& query, const std::string& instance) const {
  const std::string json =
      peer_->Get("/api/v1/query?query=" + httplib::detail::encode_query_param(query));
  const size_t at = json.find("\"instance\":\"" + instance + "\"");
  if (at == std::string::npos) return "";
  const size_t value = json.find("\"value\":[", at);
  if (value == std::string::npos) return "";
  const size_t open = json.find(",\"", value);
  const size_t close = open == std::string::npos ? open : json.find('"', open + 2);
  if (close == std::string::npos) return "";
  return json.substr(open + 2, close - open - 2);
}

AlertmanagerServer::AlertmanagerServer(const std::string& config) {
  WriteFile(dir_.File("alertmanager.yml"), config);
  peer_ = std::make_unique<WebPeer>(
      "prometheus-alertmanager",
      std::vector<std::string>{"--config.file=" + dir_.File("alertmanager.yml"),
                               "--storage.path=" + dir_.File("data"), "--cluster.listen-address="});
}

}  // namespace tallyvox::testing
