// AlertmanagerFeed: Alertmanager as one more destination of the alert
// dispatch ([alerts] alertmanager). The dispatch decides; the feed keeps
// the alerts that fire and posts them, as Alertmanager expects of a
// sender, to every URL given (each member of an HA cluster gets every
// alert; Alertmanager deduplicates):
//
//   - a row fires from the probe whose alert the dispatch raised (after
//     `confirm`), with the labels alertname "TallyvoxServerDown", row,
//     address and instance, the annotation summary "IP x Is Down!", and
//     startsAt that probe's time; it goes on firing while the row fails
//     (reminders held back or not) and is resolved (endsAt now) by the
//     row's next answered probe, whether or not `recovery` mail is on, or
//     at the end of a whole cycle that did not probe it (KeepOnly);
//   - the watchdog's alert fires as "TallyvoxNotResponding" (labels
//     address, instance; summary the watchdog's text) and is resolved by
//     the next probe that finishes;
//   - Resend() posts every firing alert with endsAt kHold ahead, and each
//     resolution for kResolvedPosts posts in a row; the dispatch calls it at
//     the end of every cycle and at every watchdog check (every minute while
//     polling), well within Alertmanager's resolve_timeout (5 min by
//     default). An alert no longer re-sent (polling stopped, the program
//     ended) ends by its endsAt.
//
// Posting runs on a thread of its own (DeliveryQueue), each post bounded by
// the AlertPost binding; at most one post is under way, and a Resend meanwhile
// is made once it ended (the latest state goes, never a backlog). A failed
// post is not queued on disk: the next Resend carries the same alerts again.
// Failures, and the first success after one, are reported per URL to the
// observer (AlertmanagerPosted) on this thread.
//
// Used on the monitor's thread.
#ifndef TALLYVOX_ALERTS_ALERTMANAGER_FEED_H_
#define TALLYVOX_ALERTS_ALERTMANAGER_FEED_H_

#include <QObject>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "alerts/delivery_queue.h"
#include "monitor/observer.h"
#include "monitor/seams.h"

namespace tallyvox::monitor {

// One alert as Alertmanager's API takes it.
struct AmAlert {
  std::string alertname;  // "TallyvoxServerDown", "TallyvoxNotResponding"
  int row = 0;            // 0: no row label
  std::string address;
  std::string summary;
  std::chrono::system_clock::time_point starts;
  std::chrono::system_clock::time_point ends;
};

// The JSON array of `alerts` for POST /api/v2/alerts, with `instance` as a
// label of each and times in RFC 3339 UTC with milliseconds.
std::string AlertsJson(const std::vector<AmAlert>& alerts, const std::string& instance);
// `text` as a JSON string, quotes included (base/json_string.h): ", \ and
// control bytes escaped, LF, CR and TAB as \n, \r and \t, bytes that are
// not UTF-8 written as U+FFFD.
std::string JsonText(const std::string& text);

class AlertmanagerFeed : public QObject {
 public:
  using WallClock = std::function<std::chrono::system_clock::time_point()>;
  // How far ahead a firing alert's endsAt lies.
  static constexpr std::chrono::minutes kHold{5};
  static constexpr int kResolvedPosts = 3;

  // `instance` empty: this host's name. `post` and `observer` (may be null)
  // must outlive the feed.
  AlertmanagerFeed(std::vector<std::string> urls, std::string instance, AlertPost& post,
                   MonitorObserver* observer, WallClock now = std::chrono::system_clock::now);
  // Joins the posting thread (a post under way ends within its bound, at
  // once after a stop); what was not posted is dropped.
  ~AlertmanagerFeed() override;

  // The dispatch raised the row's alert (the probe failed): it fires.
  void RowDown(int row, const std::string& address, const std::string& summary);
  // The row's probe answered: a firing alert is resolved.
  void RowUp(int row);
  // The watchdog raised its alert.
  void Stalled(const std::string& address, const std::string& summary);
  // Resolves every firing row alert whose row is not in `rows` (the
  // watchdog's stays).
  void KeepOnly(const std::set<int>& rows);
  // A probe finished: the watchdog's alert, when firing, is resolved.
  void ProbesGoOn();
  // Posts the firing alerts and the recent resolutions.
  void Resend();

  bool Firing(int row) const { return firing_.count(row) != 0; }
  const std::string& instance() const { return instance_; }

 private:
  struct Resolved {
    AmAlert alert;
    int posts_left = kResolvedPosts;
  };
  void Posted(std::vector<std::string> errors, int alerts);

  const std::vector<std::string> urls_;
  const std::string instance_;
  AlertPost& post_;
  MonitorObserver none_;
  MonitorObserver* observer_;
  const WallClock now_;
  std::map<int, AmAlert> firing_;  // by row; row 0 is the watchdog's
  std::vector<Resolved> resolved_;
  std::vector<bool> failing_;  // by URL: the last post failed
  bool posting_ = false;       // a post is under way
  bool again_ = false;         // Resend was called meanwhile
  std::unique_ptr<DeliveryQueue> queue_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ALERTS_ALERTMANAGER_FEED_H_
