// The status page's HTML and JSON renderings, and its refresh script.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "status/status_page.h"
#include "status/status_text.h"

namespace tallyvox::status {
namespace {

constexpr int64_t kHour = 3600000;
constexpr double kSparkWidth = 120;
constexpr double kSparkHeight = 24;

double Find(const std::map<int, double>& values, int row) {
  const auto it = values.find(row);
  return it == values.end() ? std::numeric_limits<double>::quiet_NaN() : it->second;
}

std::string Number(double value, int decimals) {
  if (std::isnan(value)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string CycleText(const PageData& d) {
  const CycleStatus& c = d.snapshot.cycle;
  if (!c.seen) return "No poll cycle has finished yet.";
  std::string text = "Last cycle: " + ShortLocal(c.start_ms, d.now_ms) + ", " +
                     SecondsText(c.seconds) + ", " + std::to_string(c.rows) + " rows, " +
                     std::to_string(c.failed) + " failed";
  if (d.snapshot.interval_ms > 0) {
    text += "; next due " + ShortLocal(c.start_ms + d.snapshot.interval_ms, d.now_ms);
  }
  return text + ".";
}

std::string OutboxText(const PageData& d) {
  const int n = d.snapshot.outbox_pending;
  return "Outbox: " + std::to_string(n) + (n == 1 ? " alert" : " alerts") + " waiting.";
}

// The last hour of a row's probes: answered ones' response times as a line
// (scaled to the largest), failures as red bars.
std::string Sparkline(const std::vector<SparkPoint>& points, int64_t now_ms) {
  char buf[160];
  double top = 0;
  int failed = 0;
  for (const SparkPoint& p : points) {
    if (p.answered) top = std::max(top, p.seconds);
    failed += p.answered ? 0 : 1;
  }
  std::snprintf(buf, sizeof buf,
                "<svg class=\"spark\" width=\"120\" height=\"24\" viewBox=\"0 0 120 24\" "
                "role=\"img\" aria-label=\"last hour: %zu probes, %d failed\">",
                points.size(), failed);
  std::string svg = buf;
  std::string line;
  for (const SparkPoint& p : points) {
    const double x = std::clamp(
        kSparkWidth * static_cast<double>(p.time_ms - (now_ms - kHour)) / kHour, 0.0, kSparkWidth);
    if (!p.answered) {
      std::snprintf(buf, sizeof buf,
                    "<rect x=\"%.1f\" y=\"0\" width=\"2\" height=\"24\" fill=\"#c83232\"/>", x);
      svg += buf;
      continue;
    }
    const double y = kSparkHeight - 2 - (top > 0 ? (kSparkHeight - 4) * p.seconds / top : 0);
    std::snprintf(buf, sizeof buf, "%s%.1f,%.1f", line.empty() ? "" : " ", x, y);
    line += buf;
  }
  if (!line.empty()) {
    svg +=
        "<polyline points=\"" + line + "\" fill=\"none\" stroke=\"#2a5bd7\" stroke-width=\"1\"/>";
  }
  return svg + "</svg>";
}

std::string RowHtml(const PageData& d, const RowStatus& r) {
  const auto spark = d.sparklines.find(r.row);
  const std::string state = r.up ? "up" : "down";
  return "<tr data-row=\"" + std::to_string(r.row) + "\" class=\"" + state + "\"><td>" +
         std::to_string(r.row) + "</td><td>" + HtmlEscape(r.address) + "</td><td class=\"state\">" +
         state + "</td><td>" + HtmlEscape(ShortLocal(r.since_ms, d.now_ms)) +
         "</td><td class=\"reason\">" + HtmlEscape(r.reason) + "</td><td>" +
         SecondsText(r.seconds) + "</td><td>" +
         Sparkline(spark == d.sparklines.end() ? std::vector<SparkPoint>{} : spark->second,
                   d.now_ms) +
         "</td><td>" + PercentText(Find(d.availability_24h, r.row)) + "</td><td>" +
         PercentText(Find(d.availability_7d, r.row)) + "</td></tr>\n";
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1em 2em;color:#222}"
    "table{border-collapse:collapse}th,td{padding:2px 8px;border-bottom:1px solid #ddd;"
    "text-align:left;white-space:nowrap}td.reason{white-space:normal;max-width:28em}"
    "tr.down td.state{color:#fff;background:#c83232;font-weight:bold}"
    "tr.up td.state{color:#1d6b2f}p.note{color:#666}";

}  // namespace

std::string RenderHtml(const PageData& d) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>Tallyvox status</title><style>" +
      std::string(kStyle) +
      "</style></head>\n<body data-refreshed=\"0\">\n<h1>Tallyvox status</h1>\n<p id=\"cycle\">" +
      HtmlEscape(CycleText(d)) + "</p>\n<p id=\"outbox\">" + HtmlEscape(OutboxText(d)) +
      "</p>\n<table id=\"rows\"><thead><tr><th>Row</th><th>Address</th><th>State</th>"
      "<th>Since</th><th>Last reason</th><th>Response</th><th>Last hour</th><th>24 h</th>"
      "<th>7 d</th></tr></thead>\n<tbody>\n";
  for (const RowStatus& r : d.snapshot.rows) html += RowHtml(d, r);
  html += "</tbody></table>\n<p class=\"note\" id=\"updated\">As of " +
          HtmlEscape(ShortLocal(d.now_ms, d.now_ms)) +
          (d.history_error.empty() ? "" : "; history: " + HtmlEscape(d.history_error)) +
          ".</p>\n<script src=\"/status.js\"></script>\n</body></html>\n";
  return html;
}

std::string RenderJson(const PageData& d) {
  const CycleStatus& c = d.snapshot.cycle;
  std::string json = "{\"now\": " + JsonString(IsoUtc(d.now_ms)) +
                     ", \"now_text\": " + JsonString(ShortLocal(d.now_ms, d.now_ms)) +
                     ", \"cycle\": {\"seen\": " + (c.seen ? "true" : "false");
  if (c.seen) {
    json += ", \"start\": " + JsonString(IsoUtc(c.start_ms)) +
            ", \"end\": " + JsonString(IsoUtc(c.end_ms)) +
            ", \"seconds\": " + Number(c.seconds, 3) + ", \"rows\": " + std::to_string(c.rows) +
            ", \"failed\": " + std::to_string(c.failed);
    if (d.snapshot.interval_ms > 0) {
      json += ", \"next_due\": " + JsonString(IsoUtc(c.start_ms + d.snapshot.interval_ms));
    }
  }
  json += ", \"text\": " + JsonString(CycleText(d)) +
          "}, \"outbox\": {\"pending\": " + std::to_string(d.snapshot.outbox_pending) +
          ", \"text\": " + JsonString(OutboxText(d)) +
          "}, \"history_error\": " + JsonString(d.history_error) + ", \"rows\": [";
  bool first = true;
  for (const RowStatus& r : d.snapshot.rows) {
    const double day = Find(d.availability_24h, r.row), week = Find(d.availability_7d, r.row);
    json += std::string(first ? "" : ", ") + "{\"row\": " + std::to_string(r.row) +
            ", \"address\": " + JsonString(r.address) + ", \"state\": \"" + (r.up ? "up" : "down") +
            "\", \"since\": " + JsonString(IsoUtc(r.since_ms)) +
            ", \"since_text\": " + JsonString(ShortLocal(r.since_ms, d.now_ms)) +
            ", \"reason\": " + JsonString(r.reason) + ", \"seconds\": " + Number(r.seconds, 6) +
            ", \"seconds_text\": " + JsonString(SecondsText(r.seconds)) +
            ", \"last_probe\": " + JsonString(IsoUtc(r.last_probe_ms)) +
            ", \"availability_24h\": " + Number(day, 3) +
            ", \"availability_24h_text\": " + JsonString(PercentText(day)) +
            ", \"availability_7d\": " + Number(week, 3) +
            ", \"availability_7d_text\": " + JsonString(PercentText(week)) + ", \"sparkline\": [";
    first = false;
    const auto spark = d.sparklines.find(r.row);
    if (spark != d.sparklines.end()) {
      for (size_t i = 0; i < spark->second.size(); ++i) {
        const SparkPoint& p = spark->second[i];
        json += std::string(i == 0 ? "" : ", ") + "{\"t\": " + std::to_string(p.time_ms) +
                ", \"ok\": " + (p.answered ? "true" : "false") +
                ", \"s\": " + Number(p.seconds, 6) + "}";
      }
    }
    json += "]}";
  }
  return json + "]}\n";
}

}  // namespace tallyvox::status
