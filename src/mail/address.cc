#include "mail/address.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace tallyvox::mail {

bool IsAtomChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-/=?_{|}~`", c) != nullptr;
}

std::string QuoteString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

namespace {

// The address in the form that follows the display name (see address.h).
std::string AccountForm(const std::string& address, bool has_name) {
  std::string local;
  std::string domain;
  const std::size_t at = address.rfind('@');
  if (at != std::string::npos) {
    local = address.substr(0, at);
    domain = address.substr(at);
  }
  bool bracket = has_name;
  const auto first_other =
      std::find_if(local.begin(), local.end(), [](char c) { return !IsAtomChar(c); });
  if (first_other != local.end() && *first_other != '.') {
    local = QuoteString(local);
    bracket = true;
  }
  const std::string account = local + domain;
  return bracket ? "<" + account + ">" : account;
}

bool AtomsAndBlanksOnly(const std::string& name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return c == ' ' || IsAtomChar(c); });
}

}  // namespace

std::string TNetEMailAddressItem::Text() const {
  const std::string account = AccountForm(address_, !name_.empty());
  if (name_.empty() || UpperCase(address_) == name_) return account;
  if (AtomsAndBlanksOnly(name_)) return name_ + " " + account;
  return QuoteString(name_) + " " + account;
}

TNetEMailAddressItem& TNetEMailAddressList::Add() { return items_.emplace_back(); }

TNetEMailAddressItem& TNetEMailAddressList::Add(const std::string& name,
                                                const std::string& address) {
  return items_.emplace_back(name, address);
}

}  // namespace tallyvox::mail
