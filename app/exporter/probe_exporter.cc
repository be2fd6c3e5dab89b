#include "exporter/probe_exporter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <utility>

#include "adapters/probe_channel.h"
#include "base/text.h"
#include "metrics/metric_store.h"
#include "probe/probe_reason.h"

namespace tallyvox::exporter {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// `text` with each byte that is not part of a UTF-8 character as \xHH: a
// label value must be UTF-8 (a server's error text may be Latin-1).
std::string ValidUtf8(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8CharLength(text, i);
    if (n == 0) {
      const auto b = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

const metrics::MetricFamily kSuccess{"probe_success", metrics::MetricType::kGauge,
                                     "Whether the probe of the target answered (1) or failed (0)."};
const metrics::MetricFamily kDuration{"probe_duration_seconds", metrics::MetricType::kGauge,
                                      "How long the probe took, in seconds."};
const metrics::MetricFamily kFailure{
    "tallyvox_probe_failure_info", metrics::MetricType::kGauge,
    "Why the probe failed, in the words of tallyvox probe (only on a failure)."};

// A roster row's probe of `target` on `channel`, with its deadlines from
// `start`.
ProbeOutcome ProbeOnce(monitor::MwProbeChannel& channel, app::NetFailure& underlying,
                       const ProbeTarget& target, Clock::time_point start, milliseconds budget) {
  ProbeOutcome outcome;
  underlying = {};
  channel.Settings().port = target.port;
  Clock::time_point aimed = Clock::now();
  try {
    channel.PrepareCycle();
    channel.AimProbe(target.host, /*fresh=*/true);
    aimed = Clock::now();
    channel.RunProbe(start, budget);
    outcome.success = true;
  } catch (const std::exception& e) {
    outcome.reason = app::ProbeFailureReason(e, underlying);
  } catch (...) {
    outcome.reason = "Unknown exception";
  }
  outcome.seconds = std::chrono::duration<double>(Clock::now() - aimed).count();
  try {
    channel.ReleaseProbe();
  } catch (...) {
    // A clean-up step: the next probe aims afresh anyway.
  }
  if (!outcome.success && outcome.reason.empty()) outcome.reason = "failed";
  return outcome;
}

}  // namespace

std::string RenderProbeOutcome(const ProbeOutcome& outcome) {
  metrics::MetricStore store;
  store.Declare(kSuccess);
  store.Declare(kDuration);
  store.Declare(kFailure);
  store.Set(kSuccess.name, {}, outcome.success ? 1 : 0);
  store.Set(kDuration.name, {}, outcome.seconds);
  if (!outcome.success) {
    const std::string reason = ValidUtf8(EscapeControls(outcome.reason, LineBreaks::kBlank));
    store.Set(kFailure.name, {{"reason", reason}}, 1);
  }
  return store.Render();
}

milliseconds ProbeBudget(const http::Request& request, const ExporterOptions& options) {
  const milliseconds full = std::chrono::seconds(std::max(options.probe.connect_timeout, 0) +
                                                 std::max(options.probe.request_timeout, 0));
  const std::string* header = request.FindHeader("x-prometheus-scrape-timeout-seconds");
  if (header == nullptr) return full;
  char* end = nullptr;
  const double seconds = std::strtod(header->c_str(), &end);
  if (end == header->c_str() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
    return full;  // not a time-out: the probe keeps its own
  }
  const double scrape_ms = std::min(seconds * 1000, 1e9);
  const double margin = static_cast<double>(options.scrape_margin.count());
  const double ms = scrape_ms > 2 * margin ? scrape_ms - margin : scrape_ms / 2;
  return std::clamp(milliseconds(std::llround(ms)), milliseconds(1),
                    std::max(full, milliseconds(1)));
}

ProbeExporter::ProbeExporter(ExporterOptions options) : options_(std::move(options)) {}

ProbeExporter::~ProbeExporter() {
  std::vector<std::thread> threads;
  {
    MutexLock lock(&mu_);
    stopping_ = true;
    threads.swap(threads_);
  }
  work_cv_.SignalAll();
  for (std::thread& t : threads) t.join();
}

void ProbeExporter::AddRoute(http::Router& router, std::shared_ptr<ProbeExporter> exporter) {
  // A weak reference: the owner ends the exporter (joining its workers) on
  // its own thread, never the last answer's worker through the router.
  std::weak_ptr<ProbeExporter> weak = exporter;
  router.AddDeferred("GET", "/probe", [weak](const http::Request& r, http::Responder answer) {
    if (const std::shared_ptr<ProbeExporter> live = weak.lock()) {
      live->Handle(r, std::move(answer));
    } else {
      answer.Send(http::StatusResponse(503));  // going away
    }
  });
}

void ProbeExporter::Handle(const http::Request& request, http::Responder responder) {
  Task task;
  task.start = Clock::now();
  const std::string* text = request.FindParam("target");
  const std::string error = text == nullptr
                                ? "give the target to probe: /probe?target=HOST or HOST:PORT"
                                : ParseProbeTarget(*text, options_.probe.port, &task.target);
  if (!error.empty()) {
    http::Response r = http::StatusResponse(400);
    r.body = error + "\n";
    responder.Send(std::move(r));
    return;
  }
  task.budget = ProbeBudget(request, options_);
  task.responder = std::move(responder);
  bool full = false;
  {
    MutexLock lock(&mu_);
    if (stopping_ || in_flight_ >= options_.max_in_flight) {
      full = true;
    } else {
      ++in_flight_;
      tasks_.push_back(std::move(task));
      // A worker for every task no idle worker will take. A new worker
      // counts as idle from here, so there are never more workers than
      // probes in flight at their most.
      if (tasks_.size() > static_cast<size_t>(idle_)) {
        try {
          threads_.emplace_back([this] { RunWorker(); });
          ++idle_;
        } catch (const std::system_error&) {
          // No thread to be had: this probe is refused like one past the bound.
          task = std::move(tasks_.back());
          tasks_.pop_back();
          --in_flight_;
          full = true;
        }
      }
    }
  }
  if (full) {
    http::Response r = http::StatusResponse(503);
    r.body = "too many probes in flight (at most " + std::to_string(options_.max_in_flight) + ")\n";
    task.responder.Send(std::move(r));
    return;
  }
  work_cv_.Signal();
}

void ProbeExporter::RunWorker() {
  // The worker's own channel, made on its thread and used by it alone.
  std::unique_ptr<monitor::MwProbeChannel> channel;
  app::NetFailure underlying;
  for (;;) {
    Task task;
    {
      MutexLock lock(&mu_);  // counted idle (from its start or its last task)
      while (!stopping_ && tasks_.empty()) work_cv_.Wait(&mu_);
      --idle_;
      if (tasks_.empty()) return;  // stopping
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    if (channel == nullptr) {
      channel = std::make_unique<monitor::MwProbeChannel>(options_.probe);
      // The client ends a failed exchange in "Connection lost."; the network
      // exception the transport met says why.
      channel->MwTCPIPClientTransport1.OnException =
          [&underlying](mw::TMwCustomClient*, mw::TMwRequestStates, mw::TMwRequestStates&,
                        const std::exception& e) {
            underlying = {app::NetFailureReason(e), e.what()};
          };
    }
    const ProbeOutcome outcome =
        ProbeOnce(*channel, underlying, task.target, task.start, task.budget);
    http::Response r;
    r.content_type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = RenderProbeOutcome(outcome);
    task.responder.Send(std::move(r));
    MutexLock lock(&mu_);
    --in_flight_;
    ++idle_;
  }
}

int ProbeExporter::InFlight() const {
  MutexLock lock(&mu_);
  return in_flight_;
}

int ProbeExporter::Workers() const {
  MutexLock lock(&mu_);
  return static_cast<int>(threads_.size());
}

}  // namespace tallyvox::exporter
