// Charts of the uptime report (report/report.h), drawn with Qt's own
// painting: QPainter onto a QImage written as PNG, or onto a QSvgGenerator
// for SVG. One small panel per row (availability per slice of the period
// as bars, the median response time as a line), or one large panel for a
// report of one row. Qt Gui lives here and in the report program only: the
// monitor never loads it.
//
// REQUIRES: a QGuiApplication exists (the offscreen platform will do).
#ifndef TALLYVOX_CHART_CHART_H_
#define TALLYVOX_CHART_CHART_H_

#include <string>

#include "report/report.h"

namespace tallyvox::chart {

// Writes the chart to `file`, SVG or PNG by its ending (".svg", ".png").
// Throws report::ReportError for another ending or a file not written.
void WriteChart(const report::Report& report, bool detail, const std::string& file);

}  // namespace tallyvox::chart

#endif  // TALLYVOX_CHART_CHART_H_
