#include "monitor/accounts.h"

namespace tallyvox::monitor {
namespace {

constexpr const char* kAccountNames[kMailAccounts] = {"fallback", "quell_brindle", "sorrel_brindle",
                                                      "erols"};
constexpr const char* kAccountBoxes[kMailAccounts] = {"", "CheckBox108", "CheckBox109",
                                                      "CheckBox114"};

}  // namespace

const char* MailAccountName(int account) { return kAccountNames[account - 1]; }
const char* MailAccountBox(int account) { return kAccountBoxes[account - 1]; }

int MailAccountNumber(std::string_view name) {
  for (int account = 1; account <= kMailAccounts; ++account) {
    if (name == kAccountNames[account - 1]) return account;
  }
  return 0;
}

}  // namespace tallyvox::monitor
