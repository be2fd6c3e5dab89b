// The roster: the 111 monitored servers in probing order, each bound to its
// controls in the main window and to one of the 110 OK counters.
//
// Binding by ranges (within a range every number advances by one per row):
//   rows      check box               address edit     status label       counter
//   1-12      CheckBox1-12            Edit1-12         Label1-12          1-12
//   13-15     CheckBox13-15           Edit13-15        Label14-16         13-15
//   16-27     CheckBox16-27           Edit16-27        Label19-30         16-27
//   28        CheckBox107             Edit107          Label111           107
//   29-107    CheckBox28-106          Edit28-106       Label31-109        28-106
//   108       CheckBox110             Edit108          Label112           107
//   109-111   CheckBox111-113         Edit109-111      Label113-115       108-110
// Rows 28 and 108 share counter 107. Rows 1-12 show the time with "Problem ".
#ifndef TALLYVOX_MONITOR_ROSTER_H_
#define TALLYVOX_MONITOR_ROSTER_H_

#include <array>
#include <cstdint>
#include <string>

#include "settings/settings.h"

namespace tallyvox::monitor {

constexpr int kOkCounters = 110;

struct ServerEntry {
  int row = 0;            // 1..111, probing order
  std::string check_box;  // the enabled flag
  std::string edit;       // the address
  std::string label;      // the status line
  int counter = 0;        // 1..110 into OkCounters
  bool problem_shows_time = false;
};

class Roster {
 public:
  // REQUIRES: 1 <= row <= 111.
  static const ServerEntry& Row(int row);
  static const std::array<ServerEntry, kRosterRows>& Rows();
};

// 110 signed 32-bit counters, indexed 1..110; all 1 after Reset.
class OkCounters {
 public:
  OkCounters() { Reset(); }
  void Reset() { values_.fill(1); }
  // REQUIRES: 1 <= counter <= 110.
  int32_t Value(int counter) const { return values_[static_cast<size_t>(counter - 1)]; }
  // Adds one; wraps like the 32-bit integer it is rather than overflowing.
  void Increment(int counter);

 private:
  std::array<int32_t, kOkCounters> values_{};
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_ROSTER_H_
