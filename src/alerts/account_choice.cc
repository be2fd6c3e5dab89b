#include "alerts/account_choice.h"

#include "monitor/accounts.h"

namespace tallyvox::monitor {

std::vector<int> VisitAlertAccounts(const AccountTicked& ticked, const AccountVisit& visit) {
  std::vector<int> visited;
  for (int account : kAlertAccounts) {
    if (!ticked(account)) continue;
    visited.push_back(account);
    if (!visit(account)) break;
  }
  return visited;
}

std::vector<int> TickedAlertAccounts(const AccountTicked& ticked) {
  std::vector<int> accounts;
  for (int account : kAlertAccounts) {
    if (ticked(account)) accounts.push_back(account);
  }
  return accounts;
}

void VisitTestMailAccounts(const AccountTicked& ticked, const AccountVisit& visit) {
  for (int account = 2; account <= 4; ++account) {
    if (ticked(account) && !visit(account)) return;
  }
  if (!ticked(2) && !ticked(3) && !ticked(4)) visit(1);
}

std::vector<int> TickedTestMailAccounts(const AccountTicked& ticked) {
  std::vector<int> accounts;
  VisitTestMailAccounts(ticked, [&](int account) {
    accounts.push_back(account);
    return true;
  });
  return accounts;
}

}  // namespace tallyvox::monitor
