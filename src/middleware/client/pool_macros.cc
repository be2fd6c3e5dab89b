#include "middleware/client/pool_macros.h"

#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {
namespace {

constexpr int32_t kErrMacroEndMarker = 0x04300013;
constexpr std::string_view kStartMarker = "{%";
constexpr std::string_view kEndMarker = "%}";

}  // namespace

std::string MwExpandMacros(std::string_view text, const TMwStrings& macros,
                           const TMwMacroEvent& on_macro, TMwClientConnectionPool* pool,
                           void* reference) {
  if (!on_macro && macros.Empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    size_t start = text.find(kStartMarker, pos);
    if (start == std::string_view::npos) break;
    out.append(text.substr(pos, start - pos));
    size_t name_begin = start + kStartMarker.size();
    size_t end = text.find(kEndMarker, name_begin);
    if (end == std::string_view::npos) {
      throw EMwException("Variable endmarker not found " + std::string(text.substr(name_begin, 30)),
                         kErrMacroEndMarker);
    }
    std::string name(text.substr(name_begin, end - name_begin));
    std::string value;
    if (auto found = macros.Find(name)) {
      value = *found;
    } else {
      value = std::string(kStartMarker) + name + std::string(kEndMarker);
    }
    if (on_macro) on_macro(pool, reference, name, value);
    out += value;
    pos = end + kEndMarker.size();
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace tallyvox::mw
