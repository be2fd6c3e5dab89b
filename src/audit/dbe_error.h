// The audit table's exceptions, and how an engine error becomes one.
//
// EDatabaseError is the runtime's database error; the dataset raises it itself only for
// a field it cannot find and for a change to a read-only table. Every other failure is
// an EDbeDatabaseError (its descendant), whether the engine reported it or the dataset
// refused on the engine's behalf.
#ifndef TALLYVOX_AUDIT_DBE_ERROR_H_
#define TALLYVOX_AUDIT_DBE_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/status.h"
#include "dbe/dbe_engine.h"

namespace tallyvox::audit {

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// Message: "<dataset name>: <error text>", or the text alone without a dataset.
class EDbeDatabaseError : public EDatabaseError {
 public:
  struct Context {
    std::string dataset_name;   // "DbeTable1"
    std::string owner_name;     // "Form1"
    std::string database_name;  // DatabaseName as set
    std::string path;           // the resolved folder
    std::string table_name;
  };
  // `code` 0: a refusal of the dataset itself, not an engine code.
  EDbeDatabaseError(uint32_t code, const std::string& text, Context context);

  uint32_t ErrorCode() const { return code_; }
  // From texts containing "ERROR 7200:" and "NATIVEERROR = <number>;", else 0.
  int NativeError() const { return native_error_; }
  const std::string& ErrorText() const { return text_; }
  const Context& Where() const { return context_; }
  // For codes 5147..5149: the name in double quotes after the word "column"; else empty.
  const std::string& ColumnName() const { return column_name_; }

 private:
  uint32_t code_;
  int native_error_ = 0;
  std::string text_;
  Context context_;
  std::string column_name_;
};

// The outcome of an engine call that returned `result`: OK for kDbeSuccess, else the
// engine's last error as code and text (a generic text when the engine has none). While
// that error is read, engine checks made meanwhile on this thread (by cleanup on the
// way) answer OK, so the first failure is the one reported.
Status EngineStatus(dbe::DbeResult result);

}  // namespace tallyvox::audit

#endif  // TALLYVOX_AUDIT_DBE_ERROR_H_
