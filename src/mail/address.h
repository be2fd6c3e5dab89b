// E-mail addresses as a message holds them: one item is a display name and an
// address; a list keeps its items in insertion order.
//
// Text() is the combined "name <address>" form used for the Sender header:
//   - the address splits at its last "@" into a local part and a domain part
//     (the domain part keeps the "@"); without "@" both parts are empty;
//   - a local part whose first character outside the atom set
//     (letters, digits and ! # $ % & ' * + - / = ? _ { | } ~ `) is not a dot is
//     put in double quotes (backslash before \ and ") and then the account
//     form is always bracketed; otherwise it is bracketed only when a name is
//     given; an empty account form with a name is written "<>";
//   - no name, or a name equal to the upper-cased address: the account form;
//     a name of atom characters and blanks only: name, blank, account form;
//     otherwise the name in double quotes (escaped), blank, account form.
#ifndef TALLYVOX_MAIL_ADDRESS_H_
#define TALLYVOX_MAIL_ADDRESS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tallyvox::mail {

class TNetEMailAddressItem {
 public:
  TNetEMailAddressItem() = default;
  TNetEMailAddressItem(std::string name, std::string address)
      : name_(std::move(name)), address_(std::move(address)) {}

  const std::string& Address() const { return address_; }
  void SetAddress(const std::string& address) { address_ = address; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  // The combined form described at the top of this file.
  std::string Text() const;

 private:
  std::string name_;
  std::string address_;
};

class TNetEMailAddressList {
 public:
  // Appends an item and returns it for further setting.
  TNetEMailAddressItem& Add();
  TNetEMailAddressItem& Add(const std::string& name, const std::string& address);
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  // REQUIRES: index < Count().
  const TNetEMailAddressItem& operator[](std::size_t index) const { return items_[index]; }
  TNetEMailAddressItem& operator[](std::size_t index) { return items_[index]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<TNetEMailAddressItem> items_;
};

// True for the characters allowed unquoted in an address's local part besides
// letters and digits: ! # $ % & ' * + - / = ? _ { | } ~ and the grave accent.
bool IsAtomChar(char c);

// text in double quotes, with a backslash before each backslash or double quote.
std::string QuoteString(const std::string& text);

}  // namespace tallyvox::mail

#endif  // TALLYVOX_MAIL_ADDRESS_H_
