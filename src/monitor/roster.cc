#include "monitor/roster.h"

#include <stdexcept>

namespace tallyvox::monitor {
namespace {

struct Range {
  int first_row, last_row, check_box, edit, label, counter;
};

// The binding table; the numbers of each range are those of its first row.
constexpr Range kRanges[] = {
    {1, 12, 1, 1, 1, 1},
    {13, 15, 13, 13, 14, 13},
    {16, 27, 16, 16, 19, 16},
    {28, 28, 107, 107, 111, 107},
    {29, 107, 28, 28, 31, 28},
    {108, 108, 110, 108, 112, 107},
    {109, 111, 111, 109, 113, 108},
};

std::array<ServerEntry, kRosterRows> BuildRows() {
  std::array<ServerEntry, kRosterRows> rows;
  for (const Range& r : kRanges) {
    for (int row = r.first_row; row <= r.last_row; ++row) {
      const int step = row - r.first_row;
      ServerEntry& e = rows[static_cast<size_t>(row - 1)];
      e.row = row;
      e.check_box = "CheckBox" + std::to_string(r.check_box + step);
      e.edit = "Edit" + std::to_string(r.edit + step);
      e.label = "Label" + std::to_string(r.label + step);
      e.counter = r.counter + step;
      e.problem_shows_time = row <= 12;
    }
  }
  return rows;
}

}  // namespace

const std::array<ServerEntry, kRosterRows>& Roster::Rows() {
  static const std::array<ServerEntry, kRosterRows> rows = BuildRows();
  return rows;
}

const ServerEntry& Roster::Row(int row) {
  if (row < 1 || row > kRosterRows) throw std::out_of_range("roster row " + std::to_string(row));
  return Rows()[static_cast<size_t>(row - 1)];
}

void OkCounters::Increment(int counter) {
  int32_t& v = values_[static_cast<size_t>(counter - 1)];
  v = static_cast<int32_t>(static_cast<uint32_t>(v) + 1u);
}

}  // namespace tallyvox::monitor
