// TMwStrings: an ordered list of strings, used for stream parameters
// ("name=value" lines) and attribute lists. Names are matched without regard
// to ASCII case, as in the middleware's string lists.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_STRING_LIST_H_
#define TALLYVOX_MIDDLEWARE_WIRE_STRING_LIST_H_

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::mw {

class TMwStrings {
 public:
  TMwStrings() = default;
  TMwStrings(std::initializer_list<std::string> items) : items_(items) {}

  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  const std::string& operator[](size_t i) const { return items_[i]; }
  std::string& operator[](size_t i) { return items_[i]; }
  void Add(std::string item) { items_.push_back(std::move(item)); }
  void Clear() { items_.clear(); }
  void Reserve(size_t count) { items_.reserve(count); }
  const std::vector<std::string>& Items() const { return items_; }
  bool operator==(const TMwStrings& other) const { return items_ == other.items_; }

  // Index of the first "name=..." line whose name matches, or -1.
  int IndexOfName(std::string_view name) const;
  // The value of the first line named `name`, or nullopt when absent.
  std::optional<std::string> Find(std::string_view name) const;
  // The value, or "" when absent.
  std::string Value(std::string_view name) const { return Find(name).value_or(""); }
  // Replaces the value of the first matching line or appends "name=value";
  // an empty value deletes the line.
  void SetValue(std::string_view name, std::string_view value);

  // Lines joined with "\r\n" after each; SetText splits on LF, CRLF or CR.
  std::string Text() const;
  void SetText(std::string_view text);

 private:
  std::vector<std::string> items_;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_STRING_LIST_H_
