// The status page's refresh script: every 5 s it reads /api/status and
// rebuilds the table, the cycle line and the outbox line with DOM calls
// (texts are set as text, never parsed as HTML). Without JavaScript the
// table the server rendered stays as it is.
#include "status/status_page.h"

namespace tallyvox::status {

const std::string& StatusScript() {
  static const std::string kScript = R"js("use strict";
(function () {
  var SVG = "http://www.w3.org/2000/svg";
  var HOUR = 3600000;
  function cell(tr, text, cls) {
    var td = document.createElement("td");
    td.textContent = text;
    if (cls) td.className = cls;
    tr.appendChild(td);
    return td;
  }
  function sparkline(points, now) {
    var svg = document.createElementNS(SVG, "svg");
    svg.setAttribute("class", "spark");
    svg.setAttribute("width", "120");
    svg.setAttribute("height", "24");
    svg.setAttribute("viewBox", "0 0 120 24");
    var top = 0, failed = 0, line = [];
    points.forEach(function (p) { if (p.ok && p.s > top) top = p.s; if (!p.ok) failed++; });
    svg.setAttribute("role", "img");
    svg.setAttribute("aria-label", "last hour: " + points.length + " probes, " + failed + " failed");
    points.forEach(function (p) {
      var x = Math.min(120, Math.max(0, 120 * (p.t - (now - HOUR)) / HOUR));
      if (!p.ok) {
        var bar = document.createElementNS(SVG, "rect");
        bar.setAttribute("x", x.toFixed(1));
        bar.setAttribute("y", "0");
        bar.setAttribute("width", "2");
        bar.setAttribute("height", "24");
        bar.setAttribute("fill", "#c83232");
        svg.appendChild(bar);
        return;
      }
      var y = 22 - (top > 0 ? 20 * p.s / top : 0);
      line.push(x.toFixed(1) + "," + y.toFixed(1));
    });
    if (line.length) {
      var poly = document.createElementNS(SVG, "polyline");
      poly.setAttribute("points", line.join(" "));
      poly.setAttribute("fill", "none");
      poly.setAttribute("stroke", "#2a5bd7");
      poly.setAttribute("stroke-width", "1");
      svg.appendChild(poly);
    }
    return svg;
  }
  function show(status) {
    var now = Date.parse(status.now);
    var body = document.createElement("tbody");
    status.rows.forEach(function (r) {
      var tr = document.createElement("tr");
      tr.setAttribute("data-row", String(r.row));
      tr.className = r.state;
      cell(tr, String(r.row));
      cell(tr, r.address);
      cell(tr, r.state, "state");
      cell(tr, r.since_text);
      cell(tr, r.reason, "reason");
      cell(tr, r.seconds_text);
      cell(tr, "").appendChild(sparkline(r.sparkline, now));
      cell(tr, r.availability_24h_text);
      cell(tr, r.availability_7d_text);
      body.appendChild(tr);
    });
    var table = document.getElementById("rows");
    table.replaceChild(body, table.tBodies[0]);
    document.getElementById("cycle").textContent = status.cycle.text;
    document.getElementById("outbox").textContent = status.outbox.text;
    document.getElementById("updated").textContent = "As of " + status.now_text +
        (status.history_error ? "; history: " + status.history_error : "") + ".";
    document.body.setAttribute("data-refreshed", String(Date.now()));
  }
  function refresh() {
    fetch("/api/status", {cache: "no-store", credentials: "same-origin"})
      .then(function (r) { if (!r.ok) throw new Error("HTTP " + r.status); return r.json(); })
      .then(show)
      .catch(function (e) {
        document.getElementById("updated").textContent = "Refresh failed: " + e.message;
      });
  }
  refresh();
  setInterval(refresh, 5000);
})();
)js";
  return kScript;
}

}  // namespace tallyvox::status
