#include "metrics/endpoint.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <future>

namespace tallyvox::metrics {
namespace {

constexpr size_t kMaxBody = 1024;
constexpr int kWorkers = 2;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr auto kStopBound = std::chrono::milliseconds(100);
constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The library writes to sockets without MSG_NOSIGNAL: a scraper that hangs
// up mid-answer must not end the program with SIGPIPE. The serving threads
// block it (the workers inherit the listener's mask), so the write fails
// with EPIPE instead.
void BlockSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// The library's default also sets SO_REUSEPORT, with which a second
// program could bind the same port and take half the scrapes. Only
// SO_REUSEADDR, so a restart can bind again while old connections linger.
void ListenSocketOptions(int fd) {
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

ListenAddress ParseListenAddress(const std::string& text) {
  const auto fail = [&](const std::string& what) -> ListenAddress {
    throw MetricsEndpointError("--metrics wants ADDRESS:PORT (such as 127.0.0.1:9741), not \"" +
                               text + "\": " + what);
  };
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return fail("no port");
  std::string host = text.substr(0, colon);
  const std::string port_text = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return fail("put an IPv6 address in brackets");
  }
  if (host.empty()) return fail("no address (0.0.0.0 listens on every one)");
  int port = -1;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 0 || port > 65535) {
    return fail("the port must be from 0 to 65535");
  }
  return ListenAddress{host, port};
}

MetricsEndpoint::MetricsEndpoint(const ListenAddress& address, const MetricStore& store)
    : source_(std::make_shared<Source>()),
      server_(std::make_unique<httplib::Server>()),
      host_(address.host) {
  httplib::Server& s = *server_;
  s.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  s.set_socket_options(ListenSocketOptions);
  s.set_payload_max_length(kMaxBody);
  s.set_read_timeout(kReadTimeoutSeconds, 0);
  s.set_write_timeout(kReadTimeoutSeconds, 0);
  // One request per connection: a scraper's idle connection between scrapes
  // would hold one of the two workers.
  s.set_keep_alive_max_count(1);
  source_->store = &store;
  s.Get("/metrics", [source = source_](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(source->mu);
    if (source->store == nullptr) {
      res.status = 503;  // the endpoint is going away
      return;
    }
    res.set_content(source->store->Render(), kContentType);
  });
  if (address.port == 0) {
    port_ = s.bind_to_any_port(address.host);
  } else {
    port_ = s.bind_to_port(address.host, address.port) ? address.port : -1;
  }
  if (port_ <= 0) {
    port_ = address.port;
    throw MetricsEndpointError("cannot serve /metrics on " + Address() +
                               " (address in use, not this machine's, or a port reserved "
                               "for root?)");
  }
  auto done = std::make_shared<std::promise<void>>();
  finished_ = done->get_future();
  thread_ = std::thread([server = server_.get(), done] {
    BlockSigpipe();
    server->listen_after_bind();
    done->set_value();
  });
  // stop() only ends a server that runs already: wait (briefly) until it does.
  for (int i = 0; i < 2000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

MetricsEndpoint::~MetricsEndpoint() {
  {
    // From now on no worker reads the store, which may go next.
    std::lock_guard<std::mutex> lock(source_->mu);
    source_->store = nullptr;
  }
  server_->stop();
  // The listener waits for its workers, and a client in the middle of a
  // request holds one for up to the read time-out: a program that is ending
  // does not wait for that. The server is then left to the process's end.
  if (finished_.wait_for(kStopBound) == std::future_status::ready) {
    thread_.join();
  } else {
    thread_.detach();
    (void)server_.release();
  }
}

std::string MetricsEndpoint::Address() const {
  const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return host + ":" + std::to_string(port_);
}

std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(const std::string& address,
                                                      const MonitorMetrics& metrics) {
  return std::make_unique<MetricsEndpoint>(ParseListenAddress(address), metrics.store());
}

}  // namespace tallyvox::metrics
