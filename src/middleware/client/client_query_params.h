// Statement parameters of a client query (TParams) and the texts that carry
// them to the query service: the parameter description sent with EXECUTE and
// QUERY, the data type names of output parameters, and the statement split.
//
// Parameter description: "*" for no parameters; else, per parameter,
//   name "," ord(ParamType) "," ord(DataType) [ "=" value-as-text ]
// each entry wrapped in double quotes with inner double quotes doubled, the
// entries joined by ";". Example: p,1,1=O"Brien -> "p,1,1=O""Brien".
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_QUERY_PARAMS_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_QUERY_PARAMS_H_

#include <string>
#include <string_view>
#include <vector>

#include "middleware/wire/memory_table.h"
#include "middleware/wire/value_formatter.h"
#include "middleware/wire/variant.h"

namespace tallyvox::mw {

enum TParamType { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

// Field data types (TFieldType) and their names come with the in-memory table.
// The data type of an output parameter from its name (ASCII case ignored).
// Raises EMwException 0x00F20201 "Unknown parameter datatype (" + upper-cased
// name + ") send from server." for no match and for "Unknown".
TFieldType MwParamDataTypeFromName(std::string_view name);
// "Unknown", "Input", "Output", "InputOutput", "Result" (case ignored);
// anything else gives ptUnknown.
TParamType MwParamTypeFromName(std::string_view name);

struct TParam {
  std::string name;
  TFieldType data_type = ftUnknown;
  TParamType param_type = ptUnknown;
  Variant value;  // empty or null = no value

  bool IsNull() const { return value.IsEmpty() || value.IsNull(); }
};

class TParams {
 public:
  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  TParam& operator[](size_t i) { return items_[i]; }
  const TParam& operator[](size_t i) const { return items_[i]; }
  void Add(TParam param) { items_.push_back(std::move(param)); }
  void Clear() { items_.clear(); }
  // The first parameter named `name` (ASCII case ignored), or nullptr.
  TParam* FindParam(std::string_view name);
  const TParam* FindParam(std::string_view name) const;
  const std::vector<TParam>& Items() const { return items_; }

 private:
  std::vector<TParam> items_;
};

// A parameter value as text: integers in decimal, floats and date-times per
// `conversion`, wide strings as UTF-8, Booleans "True"/"False", strings as
// they are, currency and FMTBcd as decimal text. Raises EMwException
// 0x00E00001 "Unsupported variant conversion. VarType=" + the type number for
// any other kind (arrays, objects, ...).
std::string MwParamValueText(const Variant& value, TMwStringConversion conversion,
                             const TMwFormatSettings& settings = {});

// The parameter description argument (see the file comment).
std::string MwParamDescription(const TParams& params, TMwStringConversion conversion,
                               const TMwFormatSettings& settings = {});

// `text` in double quotes, inner double quotes doubled.
std::string MwQuoted(std::string_view text);

// One statement of a query text split without passthrough.
struct TMwStatement {
  std::vector<std::string> lines;
  bool returns_rows = true;  // false when the statement was marked with "!"
};

// Splits the lines of a query into statements: empty lines are skipped; a
// line starting with "!" or "=" starts a new statement (the character is
// removed) unless it is the statement's first line; "!" marks a statement
// that returns no rows. Lines are kept as written (macro expansion is the
// caller's).
std::vector<TMwStatement> MwSplitStatements(const std::vector<std::string>& lines);

// The statement argument: lines joined, each followed by CR LF, trimmed of
// leading and trailing blanks and control characters; "*" when empty.
std::string MwStatementText(const std::vector<std::string>& lines);

// Names of the colon-prefixed parameters of a statement text, in order (a
// name ends at a blank, a line break, ")", ",", ";", "=" or the end; "::" is
// no parameter; text inside single or double quotes is skipped).
std::vector<std::string> MwParseParamNames(std::string_view text);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_QUERY_PARAMS_H_
