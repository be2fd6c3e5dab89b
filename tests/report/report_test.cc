// The uptime report over a history with known outages: exact availability,
// outage count and longest outage, response-time percentiles, the period's
// parsing, and each format.
#include "report/report.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>

#include "report/report_format.h"
#include "support/support.h"

namespace tallyvox::report {
namespace {

using history::HistoryDb;
using history::ProbeRecord;
using tallyvox::testing::TempDir;

constexpr int64_t kT0 = 1750000000000;  // ms, UTC
constexpr int64_t kMinute = 60000;

// Row 5: 40 probes a minute apart; failures at 10-12 (an outage of 3
// minutes), 30 (1 minute) and 38-39 (still down at the end of the period,
// 2 minutes). Answered probe i took (i + 1) ms. Row 7: 10 answers. Row 9:
// probes before the period only.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HistoryDb db(path_);
    history::HistoryBatch batch;
    for (int i = 0; i < 40; ++i) {
      const bool failed = (i >= 10 && i <= 12) || i == 30 || i >= 38;
      batch.probes.push_back({kT0 + i * kMinute, 5, "10.0.0.5", !failed,
                              failed ? 2.0 : (i + 1) / 1000.0, failed ? "refused" : ""});
    }
    for (int i = 0; i < 10; ++i) {
      batch.probes.push_back({kT0 + i * kMinute, 7, "10.0.0.7", true, 0.5, ""});
    }
    batch.probes.push_back({kT0 - 10 * kMinute, 9, "10.0.0.9", false, 2.0, "refused"});
    db.Write(batch);
  }

  Report Build(int row, int slices = 40) {
    HistoryDb db(path_, HistoryDb::Mode::kReadOnly);
    return BuildReport(db, row, kT0, kT0 + 40 * kMinute, slices);
  }

  TempDir dir_;
  std::string path_ = dir_.File("h.sqlite");
};

TEST_F(ReportTest, AvailabilityOutagesAndTimesAreExact) {
  const Report r = Build(0);
  ASSERT_EQ(r.rows.size(), 2u);  // row 9 has nothing in the period
  const RowReport& five = r.rows[0];
  EXPECT_EQ(five.row, 5);
  EXPECT_EQ(five.probes, 40);
  EXPECT_EQ(five.failures, 6);
  EXPECT_DOUBLE_EQ(five.availability(), 85.0);
  ASSERT_EQ(five.outages.size(), 3u);
  EXPECT_EQ(five.outages[0].start_ms, kT0 + 10 * kMinute);
  EXPECT_EQ(five.outages[0].end_ms, kT0 + 13 * kMinute);  // the next answer's start
  EXPECT_EQ(five.outages[1].seconds(), 60.0);
  EXPECT_TRUE(five.outages[2].ongoing);
  EXPECT_EQ(five.outages[2].end_ms, kT0 + 40 * kMinute);
  ASSERT_NE(five.longest(), nullptr);
  EXPECT_EQ(five.longest(), &five.outages[0]);
  EXPECT_EQ(five.longest()->seconds(), 180.0);
  // 34 answers of 1-10, 14-30, 32-38 ms: the 17th and 18th are 20 and 21,
  // the 33rd (ceil(0.95 * 34)) is 37.
  EXPECT_TRUE(five.has_times);
  EXPECT_DOUBLE_EQ(five.median_seconds, 0.0205);
  EXPECT_DOUBLE_EQ(five.p95_seconds, 0.037);
  // One slice a probe: the failed minutes read 0 %, the others 100 %.
  ASSERT_EQ(five.slices.size(), 40u);
  EXPECT_EQ(five.slices[11].availability, 0.0);
  EXPECT_EQ(five.slices[13].availability, 100.0);
  EXPECT_TRUE(std::isnan(five.slices[11].median_seconds));

  const RowReport& seven = r.rows[1];
  EXPECT_DOUBLE_EQ(seven.availability(), 100.0);
  EXPECT_TRUE(seven.outages.empty());
  EXPECT_EQ(seven.longest(), nullptr);
  EXPECT_TRUE(std::isnan(seven.slices[20].availability));  // no probe then

  EXPECT_EQ(Build(7).rows.size(), 1u);
}

TEST_F(ReportTest, FormatsCarryTheSameNumbers) {
  const Report r = Build(0);
  const std::string csv = FormatReport(r, Format::kCsv, false);
  EXPECT_NE(csv.find("\n5,10.0.0.5,85.000,40,6,3," + UtcTimeText(kT0 + 10 * kMinute) + "," +
                     UtcTimeText(kT0 + 13 * kMinute) + ",180.000,false,0.020500,0.037000\n"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find("\n7,10.0.0.7,100.000,10,0,0,,,,,0.500000,0.500000\n"), std::string::npos)
      << csv;
  const std::string json = FormatReport(r, Format::kJson, false);
  EXPECT_NE(
      json.find("{\"row\": 5, \"address\": \"10.0.0.5\", \"availability_percent\": 85.000, "
                "\"probes\": 40, \"failures\": 6, \"outage_count\": 3, \"longest_outage\": "
                "{\"start\": \"" +
                UtcTimeText(kT0 + 10 * kMinute) + "\", \"end\": \"" +
                UtcTimeText(kT0 + 13 * kMinute) + "\", \"seconds\": 180.000, \"ongoing\": false}"),
      std::string::npos)
      << json;
  const std::string text = FormatReport(Build(5), Format::kText, true);
  EXPECT_NE(text.find("   5  10.0.0.5                85.000       40        6       3      0.021"
                      "      0.037  " +
                      LocalTimeText(kT0 + 10 * kMinute)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("outage " + LocalTimeText(kT0 + 38 * kMinute) + " to now (ongoing) (120 s)"),
            std::string::npos)
      << text;
  EXPECT_EQ(UtcTimeText(kT0), "2025-06-15T15:06:40Z");
}

// The percentiles found by selection are those of the sorted times, for
// odd and even counts, ties, and one or two values.
TEST(ReportPercentilesTest, BySelectionAgreeWithTheSortedOnes) {
  uint32_t random = 7;
  for (const size_t n : {1u, 2u, 3u, 4u, 10u, 101u, 1000u, 4096u}) {
    for (const int spread : {3, 1000000}) {  // many ties, few ties
      SCOPED_TRACE(std::to_string(n) + " values, spread " + std::to_string(spread));
      std::vector<double> values;
      for (size_t i = 0; i < n; ++i) {
        random = random * 1103515245u + 12345u;
        values.push_back(static_cast<double>((random >> 8) % static_cast<uint32_t>(spread)) / 1e3);
      }
      std::vector<double> sorted = values;
      std::sort(sorted.begin(), sorted.end());
      std::vector<double> scratch = values;
      EXPECT_EQ(MedianOf(&scratch), Median(sorted));
      for (const double fraction : {0.5, 0.95, 0.99, 1.0}) {
        scratch = values;
        EXPECT_EQ(NearestRankOf(&scratch, fraction), NearestRank(sorted, fraction)) << fraction;
      }
    }
  }
}

TEST(ReportSinceTest, PeriodsAndDatesAreReadAndOthersRefused) {
  const int64_t now = kT0;
  EXPECT_EQ(ParseSince("24h", now), now - 24 * 3600000LL);
  EXPECT_EQ(ParseSince("7d", now), now - 7 * 86400000LL);
  EXPECT_EQ(ParseSince("30m", now), now - 30 * kMinute);
  std::tm tm{};
  tm.tm_year = 2025 - 1900;
  tm.tm_mon = 5;
  tm.tm_mday = 1;
  tm.tm_hour = 8;
  tm.tm_min = 30;
  tm.tm_isdst = -1;
  const int64_t at = static_cast<int64_t>(std::mktime(&tm)) * 1000;
  EXPECT_EQ(ParseSince("2025-06-01T08:30", now), at);
  EXPECT_EQ(ParseSince("2025-06-01 08:30:00", now), at);
  EXPECT_EQ(ParseSince("2025-06-01", now), at - (8 * 60 + 30) * kMinute);
  for (const char* bad : {"", "24", "h", "0h", "-1d", "24x", "2025-13-01", "2025-06-01T25:00",
                          "2025-06-01T08:30x", "2030-01-01", "1234567d"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseSince(bad, now), ReportError);
  }
}

}  // namespace
}  // namespace tallyvox::report
