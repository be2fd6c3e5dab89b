// Which mail accounts an alert and the test mail go through, from the
// accounts' boxes (monitor/accounts.h). The one place that decides it: the
// alert dispatch and the stall guard both use it.
//
// Each box is read at its own step, right before its delivery, so that an
// operator who changes a box while the first delivery's message box is open
// is heeded.
#ifndef TALLYVOX_ALERTS_ACCOUNT_CHOICE_H_
#define TALLYVOX_ALERTS_ACCOUNT_CHOICE_H_

#include <functional>
#include <vector>

namespace tallyvox::monitor {

// Whether the box of `account` (2..4) is ticked now.
using AccountTicked = std::function<bool(int account)>;
// One delivery through `account`; false ends the visit (the accounts not
// yet tried are skipped).
using AccountVisit = std::function<bool(int account)>;

// An alert: NetSMTP2, then NetSMTP4, each when its box is ticked. Returns
// the accounts visited.
std::vector<int> VisitAlertAccounts(const AccountTicked& ticked, const AccountVisit& visit);
// The alert accounts whose boxes are ticked now, in order.
std::vector<int> TickedAlertAccounts(const AccountTicked& ticked);
// The test mail: NetSMTP2, NetSMTP3, NetSMTP4 each when ticked, then the
// fallback NetSMTP1 when none of the three is ticked.
void VisitTestMailAccounts(const AccountTicked& ticked, const AccountVisit& visit);
// The accounts the test mail goes through with the boxes as they are now.
std::vector<int> TickedTestMailAccounts(const AccountTicked& ticked);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ALERTS_ACCOUNT_CHOICE_H_
