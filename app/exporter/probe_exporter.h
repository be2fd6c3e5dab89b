// ProbeExporter: `GET /probe?target=HOST[:PORT]` on the metrics port, the
// exporter pattern of blackbox probing: Prometheus schedules the probes of
// many targets, each scrape runs one probe now and reads its outcome.
//
// The probe is a roster row's (the monitor's probe channel: a fresh aim,
// the probe query with its EXECUTE and DATA "COMMON", verified framing, the
// settings' connect and request time-outs and answer cap), on a channel of
// its own: no connection, pool or lock is shared with the monitor's probes,
// no audit record is written and no alert sent. A target without a port
// gets the settings' probe_port, as rows do.
//
// The probe's deadline counts from the request's dispatch: the smaller of
// connect_timeout + request_timeout and the scrape's own time-out
// (X-Prometheus-Scrape-Timeout-Seconds) less a margin (0.25 s; half of a
// time-out under 0.5 s), so the answer reaches Prometheus before it gives up.
//
// Threads: the route is deferred (http/responder.h): the server's worker
// only hands the request on. The probes run on workers of their own, made
// as they are needed and kept, each with its own probe channel, at most
// `max_in_flight` (64) probes at once; one more is answered 503 at once. A
// bad target is answered 400 at once.
//
// The answer (Prometheus text, version 0.0.4):
//   probe_success 1|0
//   probe_duration_seconds S
//   tallyvox_probe_failure_info{reason="connection refused"} 1   (on failure only)
// with the reasons of `tallyvox probe` (probe/probe_reason.h).
#ifndef TALLYVOX_EXPORTER_PROBE_EXPORTER_H_
#define TALLYVOX_EXPORTER_PROBE_EXPORTER_H_

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "exporter/probe_target.h"
#include "http/router.h"
#include "settings/settings.h"

namespace tallyvox::exporter {

// The most /probe probes in flight at once by default.
inline constexpr int kMaxProbesInFlight = 64;

struct ExporterOptions {
  monitor::ProbeSettings probe;  // port, time-outs and answer cap of every probe
  int max_in_flight = kMaxProbesInFlight;
  // Taken off the scrape's time-out so that the answer arrives in time.
  std::chrono::milliseconds scrape_margin{250};
};

// What one probe came to.
struct ProbeOutcome {
  bool success = false;
  double seconds = 0;  // from the aim to the end of the probe
  std::string reason;  // why it failed; empty on success
};

// The Prometheus text of `outcome`. The reason is one line without control
// bytes or bytes that are not UTF-8 (written \xHH), its \ and " escaped.
std::string RenderProbeOutcome(const ProbeOutcome& outcome);

// The deadline of the probe `request` asks for (see above).
std::chrono::milliseconds ProbeBudget(const http::Request& request, const ExporterOptions& options);

class ProbeExporter {
 public:
  // REQUIRES: options.max_in_flight >= 1.
  explicit ProbeExporter(ExporterOptions options);
  // Waits for the probes in flight (each ends by its deadline, at once
  // after a stop shut the sockets down), then ends the workers.
  ~ProbeExporter();
  ProbeExporter(const ProbeExporter&) = delete;
  ProbeExporter& operator=(const ProbeExporter&) = delete;

  // The deferred handler of GET /probe.
  void Handle(const http::Request& request, http::Responder responder);
  // Registers GET /probe on `router`, served by `exporter` while it lives
  // (the route keeps no reference: the owner ends it, after the server).
  static void AddRoute(http::Router& router, std::shared_ptr<ProbeExporter> exporter);

  // Probes taken and not yet answered.
  int InFlight() const;
  // Workers made so far (at most max_in_flight).
  int Workers() const;

 private:
  struct Task {
    ProbeTarget target;
    std::chrono::steady_clock::time_point start;
    std::chrono::milliseconds budget{0};
    http::Responder responder;
  };
  void RunWorker();

  const ExporterOptions options_;
  mutable Mutex mu_;
  CondVar work_cv_;
  std::deque<Task> tasks_ GUARDED_BY(mu_);
  int in_flight_ GUARDED_BY(mu_) = 0;
  int idle_ GUARDED_BY(mu_) = 0;  // workers waiting for a task
  bool stopping_ GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::exporter

#endif  // TALLYVOX_EXPORTER_PROBE_EXPORTER_H_
