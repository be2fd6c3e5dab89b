// The mail accounts by number, settings name and the box that selects each:
//
//   account   name             box           alerts      "Email" (test mail)
//   NetSMTP1  fallback         (none)        never       only when no box is ticked
//   NetSMTP2  quell_brindle    CheckBox108   first       first
//   NetSMTP3  sorrel_brindle   CheckBox109   never       second
//   NetSMTP4  erols            CheckBox114   second      third
#ifndef TALLYVOX_MONITOR_ACCOUNTS_H_
#define TALLYVOX_MONITOR_ACCOUNTS_H_

#include <array>
#include <string_view>

#include "settings/settings.h"

namespace tallyvox::monitor {

// The account's name in the settings and the box that selects it ("" for
// the fallback account NetSMTP1).
const char* MailAccountName(int account);  // REQUIRES: 1 <= account <= 4
const char* MailAccountBox(int account);   // REQUIRES: 1 <= account <= 4
// The account named `name`, or 0.
int MailAccountNumber(std::string_view name);

// The accounts an alert goes through when their boxes are ticked, in order:
// NetSMTP2 (CheckBox108), then NetSMTP4 (CheckBox114).
inline constexpr std::array<int, 2> kAlertAccounts = {2, 4};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_ACCOUNTS_H_
