#include "alerts/alertmanager_feed.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <utility>

#include "base/json_string.h"
#include "monitor/post_call.h"

namespace tallyvox::monitor {
namespace {

using std::chrono::system_clock;

// "2025-06-24T13:05:09.250Z".
std::string Rfc3339(system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "tallyvox";
  return name;
}

}  // namespace

std::string JsonText(const std::string& text) {
  JsonStringOptions options;
  options.named_controls = true;
  options.replace_invalid_utf8 = true;
  return tallyvox::JsonString(text, options);
}

std::string AlertsJson(const std::vector<AmAlert>& alerts, const std::string& instance) {
  std::string out = "[";
  for (const AmAlert& a : alerts) {
    if (out.size() > 1) out += ",";
    out += "{\"labels\":{\"alertname\":" + JsonText(a.alertname);
    if (a.row > 0) out += ",\"row\":" + JsonText(std::to_string(a.row));
    out += ",\"address\":" + JsonText(a.address) + ",\"instance\":" + JsonText(instance) + "}";
    out += ",\"annotations\":{\"summary\":" + JsonText(a.summary) + "}";
    out += ",\"startsAt\":\"" + Rfc3339(a.starts) + "\",\"endsAt\":\"" + Rfc3339(a.ends) + "\"}";
  }
  return out + "]";
}

AlertmanagerFeed::AlertmanagerFeed(std::vector<std::string> urls, std::string instance,
                                   AlertPost& post, MonitorObserver* observer, WallClock now)
    : urls_(std::move(urls)),
      instance_(instance.empty() ? HostName() : std::move(instance)),
      post_(post),
      observer_(observer != nullptr ? observer : &none_),
      now_(std::move(now)),
      failing_(urls_.size(), false),
      queue_(std::make_unique<DeliveryQueue>()) {}

AlertmanagerFeed::~AlertmanagerFeed() { queue_.reset(); }

void AlertmanagerFeed::RowDown(int row, const std::string& address, const std::string& summary) {
  auto it = firing_.find(row);
  if (it != firing_.end() && it->second.address == address) return;  // fires on
  AmAlert a;
  a.alertname = "TallyvoxServerDown";
  a.row = row;
  a.address = address;
  a.summary = summary;
  a.starts = now_();
  if (it != firing_.end()) RowUp(row);  // the row points at another server now
  firing_[row] = a;
}

void AlertmanagerFeed::RowUp(int row) {
  auto it = firing_.find(row);
  if (it == firing_.end() || row == 0) return;
  Resolved r{it->second};
  r.alert.ends = now_();
  resolved_.push_back(r);
  firing_.erase(it);
}

void AlertmanagerFeed::KeepOnly(const std::set<int>& rows) {
  std::vector<int> gone;
  for (const auto& [row, alert] : firing_) {
    if (row != 0 && rows.count(row) == 0) gone.push_back(row);
  }
  for (const int row : gone) RowUp(row);
}

void AlertmanagerFeed::Stalled(const std::string& address, const std::string& summary) {
  if (firing_.count(0) != 0) return;
  AmAlert a;
  a.alertname = "TallyvoxNotResponding";
  a.address = address;
  a.summary = summary;
  a.starts = now_();
  firing_[0] = a;
}

void AlertmanagerFeed::ProbesGoOn() {
  auto it = firing_.find(0);
  if (it == firing_.end()) return;
  Resolved r{it->second};
  r.alert.ends = now_();
  resolved_.push_back(r);
  firing_.erase(it);
}

void AlertmanagerFeed::Resend() {
  if (posting_) {
    again_ = true;
    return;
  }
  const auto now = now_();
  std::vector<AmAlert> alerts;
  for (auto& [row, a] : firing_) {
    a.ends = now + kHold;
    alerts.push_back(a);
  }
  for (Resolved& r : resolved_) {
    alerts.push_back(r.alert);
    --r.posts_left;
  }
  std::erase_if(resolved_, [](const Resolved& r) { return r.posts_left <= 0; });
  if (alerts.empty()) return;
  posting_ = true;
  const int count = static_cast<int>(alerts.size());
  queue_->Post([this, json = AlertsJson(alerts, instance_), count] {
    std::vector<std::string> errors;
    for (const std::string& url : urls_) errors.push_back(post_.Post(url, json));
    PostCall(this, [this, errors = std::move(errors), count]() mutable {
      Posted(std::move(errors), count);
    });
  });
}

void AlertmanagerFeed::Posted(std::vector<std::string> errors, int alerts) {
  posting_ = false;
  for (size_t i = 0; i < urls_.size() && i < errors.size(); ++i) {
    const bool ok = errors[i].empty();
    if (!ok || failing_[i]) {
      observer_->AlertmanagerPosted(AlertmanagerEvent{urls_[i], ok, alerts, errors[i]});
    }
    failing_[i] = !ok;
  }
  if (std::exchange(again_, false)) Resend();
}

}  // namespace tallyvox::monitor
