#include "app/serve.h"

#include <pthread.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "app/metrics_option.h"
#include "config/settings_file.h"
#include "http/basic_auth.h"
#include "net/socket_registry.h"

namespace tallyvox::app {
namespace {

constexpr int kExitUsage = 3;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

ServeCommand::ServeCommand(CLI::App& cli) {
  command_ = cli.add_subcommand(
      "serve",
      "serve /probe?target=HOST[:PORT] for Prometheus (one probe of a roster row per scrape) and "
      "/metrics, with no roster, polling, audit table or mail");
  command_->add_option("--listen", listen_, "where to serve (127.0.0.1:9741, [::1]:9741, :9741)")
      ->type_name("ADDRESS:PORT")
      ->required();
  command_->add_option("--config", config_,
                       "the settings file ([polling] and [web] users only; default: " +
                           monitor::DefaultSettingsPath() + " when it exists)");
}

int ServeCommand::Run(MetricsOption& metrics) {
  monitor::Settings settings;
  const std::string path = config_.empty() ? monitor::DefaultSettingsPath() : config_;
  if (!config_.empty() || Exists(path)) {
    try {
      settings = monitor::LoadSettings(path);
    } catch (const monitor::SettingsError& e) {
      std::fprintf(stderr, "tallyvox: %s\n", e.what());
      return kExitUsage;
    }
  }
  // The signals are taken by sigwait below: blocked before any thread starts,
  // so every thread inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  if (!settings.web.users.empty()) {
    std::shared_ptr<http::BasicAuth> auth;
    try {
      auth = std::make_shared<http::BasicAuth>(settings.web.users);
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "tallyvox: %s: web.users: %s\n", settings.path.c_str(), e.what());
      return kExitUsage;
    }
    metrics.AddRoutes(
        [auth](http::Router& router) {
          router.Add("GET", "/", metrics::LandingPage);
          router.SetGuard([auth](const http::Request& request) { return auth->Check(request); });
        },
        false);
  }
  metrics.SetAddress(listen_);
  metrics.EnableProbes(settings.probe);
  monitor::ObserverList observers;
  if (!metrics.Start(observers)) return kExitUsage;
  std::fprintf(stderr, "tallyvox: serving /probe on the same address\n");
  int signo = 0;
  do {
    if (::sigwait(&stop, &signo) != 0) signo = SIGTERM;
  } while (signo == SIGHUP);  // nothing to reload that a restart would not
  // The probes in flight end at once: their sockets are shut down.
  net::SocketRegistry::ShutDownAll();
  return 128 + signo;
}

}  // namespace tallyvox::app
