#include "chart/chart.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>

#include "report/report_format.h"

namespace tallyvox::chart {
namespace {

constexpr int kWidth = 900;
constexpr int kPanelHeight = 120;
constexpr int kDetailHeight = 420;
constexpr int kMargin = 10;
constexpr int kTitleHeight = 18;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A caption in the top left corner of a plot, on a pale box so that it
// reads over the bars.
void LabelIn(QPainter& p, const QRectF& area, const QString& text) {
  const QRectF box = p.fontMetrics().boundingRect(text).toRectF().translated(
      area.left() + 4 - p.fontMetrics().boundingRect(text).left(),
      area.top() + 2 + p.fontMetrics().ascent());
  p.fillRect(box.adjusted(-2, 0, 2, 0), QColor(255, 255, 255, 200));
  p.setPen(QColor(60, 60, 60));
  p.drawText(QPointF(area.left() + 4, area.top() + 2 + p.fontMetrics().ascent()), text);
}

QString Title(const report::RowReport& row) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f %%", row.availability());
  return QString("row %1  %2  availability %3, %4 outages")
      .arg(row.row)
      .arg(QString::fromStdString(row.address))
      .arg(QString::fromLatin1(buf))
      .arg(static_cast<qulonglong>(row.outages.size()));
}

// Availability per slice as bars in `area`: the answered share green from
// the bottom, the failed share red above it; nothing where no probe ran.
void DrawAvailability(QPainter& p, const report::RowReport& row, const QRectF& area) {
  p.fillRect(area, QColor(245, 245, 245));
  const double w = area.width() / static_cast<double>(row.slices.size());
  for (size_t i = 0; i < row.slices.size(); ++i) {
    const double a = row.slices[i].availability;
    if (std::isnan(a)) continue;
    const double x = area.left() + w * static_cast<double>(i);
    const double bar = std::max(w - 1, 1.0);
    p.fillRect(QRectF(x, area.top(), bar, area.height()), QColor(200, 50, 50));
    const double h = area.height() * a / 100.0;
    p.fillRect(QRectF(x, area.bottom() - h, bar, h), QColor(60, 160, 80));
  }
  p.setPen(QColor(120, 120, 120));
  p.drawRect(area);
  LabelIn(p, area, "availability");
}

// The median response time per slice as a line, scaled to its largest.
void DrawTimes(QPainter& p, const report::RowReport& row, const QRectF& area) {
  p.fillRect(area, QColor(250, 250, 255));
  double top = 0;
  for (const report::Slice& s : row.slices) {
    if (!std::isnan(s.median_seconds)) top = std::max(top, s.median_seconds);
  }
  p.setPen(QColor(120, 120, 120));
  p.drawRect(area);
  char label[64];
  std::snprintf(label, sizeof label, "response time (median, up to %.3f s)", top);
  LabelIn(p, area, QString::fromLatin1(label));
  if (top <= 0) return;
  const double w = area.width() / static_cast<double>(row.slices.size());
  QPainterPath path;
  bool open = false;
  for (size_t i = 0; i < row.slices.size(); ++i) {
    const double t = row.slices[i].median_seconds;
    if (std::isnan(t)) {
      open = false;
      continue;
    }
    const QPointF point(area.left() + w * (static_cast<double>(i) + 0.5),
                        area.bottom() - area.height() * 0.85 * t / top);
    if (open) {
      path.lineTo(point);
    } else {
      path.moveTo(point);
      open = true;
    }
  }
  p.setPen(QPen(QColor(40, 90, 200), 1.5));
  p.drawPath(path);
}

void DrawPanel(QPainter& p, const report::Report& r, const report::RowReport& row,
               const QRectF& panel) {
  p.setPen(Qt::black);
  p.drawText(QRectF(panel.left(), panel.top(), panel.width(), kTitleHeight),
             Qt::AlignLeft | Qt::AlignVCenter, Title(row));
  p.drawText(QRectF(panel.left(), panel.top(), panel.width(), kTitleHeight),
             Qt::AlignRight | Qt::AlignVCenter,
             QString::fromStdString(report::LocalTimeText(r.since_ms) + " to " +
                                    report::LocalTimeText(r.until_ms)));
  const QRectF plots = panel.adjusted(0, kTitleHeight, 0, 0);
  const double half = plots.height() / 2;
  DrawAvailability(p, row, QRectF(plots.left(), plots.top(), plots.width(), half - 2));
  DrawTimes(p, row, QRectF(plots.left(), plots.top() + half + 2, plots.width(), half - 4));
}

QSize ChartSize(const report::Report& r, bool detail) {
  const int panels = std::max<int>(1, static_cast<int>(r.rows.size()));
  const int panel = detail ? kDetailHeight : kPanelHeight;
  return {kWidth, kMargin + panels * (panel + kMargin)};
}

void Draw(QPainter& p, const report::Report& r, bool detail) {
  const QSize size = ChartSize(r, detail);
  p.fillRect(QRect(QPoint(0, 0), size), Qt::white);
  QFont font("DejaVu Sans");
  font.setPixelSize(11);
  p.setFont(font);
  if (r.rows.empty()) {
    p.setPen(Qt::black);
    p.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, "no probes in this period");
    return;
  }
  const int panel = detail ? kDetailHeight : kPanelHeight;
  int y = kMargin;
  for (const report::RowReport& row : r.rows) {
    DrawPanel(p, r, row, QRectF(kMargin, y, kWidth - 2 * kMargin, panel));
    y += panel + kMargin;
  }
}

}  // namespace

void WriteChart(const report::Report& report, bool detail, const std::string& file) {
  const QString path = QString::fromStdString(file);
  const QSize size = ChartSize(report, detail);
  if (EndsWith(file, ".svg")) {
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(size);
    svg.setResolution(96);  // the CSS pixel: viewers show it at its size
    svg.setViewBox(QRect(QPoint(0, 0), size));
    svg.setTitle("Tallyvox report");
    QPainter painter;
    if (!painter.begin(&svg)) throw report::ReportError("--chart " + file + ": cannot write it");
    Draw(painter, report, detail);
    if (!painter.end()) throw report::ReportError("--chart " + file + ": cannot write it");
    return;
  }
  if (!EndsWith(file, ".png")) {
    throw report::ReportError("--chart " + file + ": expected a file ending in .svg or .png");
  }
  QImage image(size, QImage::Format_RGB32);
  {
    QPainter painter(&image);
    Draw(painter, report, detail);
  }
  if (!image.save(path, "PNG")) throw report::ReportError("--chart " + file + ": cannot write it");
}

}  // namespace tallyvox::chart
