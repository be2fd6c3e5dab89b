// Creating the monitor's audit table: a new dBase III table file with the
// fields the audit write uses, ipaddress (C 64) and time (N 20.10), and no
// records. dbetool's "create" and `tallyvox init` both make it here, so the
// two layouts cannot drift apart.
#ifndef TALLYVOX_AUDIT_AUDIT_TABLE_FILE_H_
#define TALLYVOX_AUDIT_AUDIT_TABLE_FILE_H_

#include <sys/types.h>
#include <stdexcept>
#include <string>

namespace tallyvox::audit {

class AuditTableFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Creates `file` with `mode` (before the umask), synced to disk. Never
// replaces an existing file. Raises AuditTableFileError ("cannot create
// FILE: File exists") and leaves no partial file behind.
void CreateAuditTableFile(const std::string& file, mode_t mode = 0644);

}  // namespace tallyvox::audit

#endif  // TALLYVOX_AUDIT_AUDIT_TABLE_FILE_H_
