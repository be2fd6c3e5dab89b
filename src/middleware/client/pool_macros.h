// Macro expansion of query statement lines.
//
// A macro reference is "{%" name "%}". Its value is the value of the line of
// the macro list whose name matches (names compared without regard to case);
// an unknown name keeps the reference itself as its value. The application's
// OnMacro handler sees every reference and may change the value.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_POOL_MACROS_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_POOL_MACROS_H_

#include <functional>
#include <string>
#include <string_view>

#include "middleware/wire/string_list.h"

namespace tallyvox::mw {

class TMwClientConnectionPool;

// (ConnectionPool, Reference, MacroName, var MacroValue).
using TMwMacroEvent = std::function<void(TMwClientConnectionPool* pool, void* reference,
                                         const std::string& macro_name, std::string& macro_value)>;

// Expands every macro reference of `text`.
// Returns `text` unchanged when `on_macro` is empty and `macros` is empty.
// Raises EMwException 0x04300013 "Variable endmarker not found " + the first
// 30 characters after the start marker when a reference is not closed.
std::string MwExpandMacros(std::string_view text, const TMwStrings& macros,
                           const TMwMacroEvent& on_macro, TMwClientConnectionPool* pool,
                           void* reference);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_POOL_MACROS_H_
