#include "audit/audit_table_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "dbe/dbf_format.h"

namespace tallyvox::audit {

void CreateAuditTableFile(const std::string& file, mode_t mode) {
  dbe::DbfHeader header;
  header.version = 0x03;
  const std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  header.year = tm.tm_year + 1900;
  header.month = tm.tm_mon + 1;
  header.day = tm.tm_mday;
  header.fields.push_back({"ipaddress", 'C', 64, 0, 0, 0});
  header.fields.push_back({"time", 'N', 20, 10, 0, 0});
  std::string bytes = dbe::EncodeDbfHeader(&header);
  bytes += static_cast<char>(dbe::kDbfEndOfFile);

  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw AuditTableFileError("cannot create " + file + ": " + std::strerror(errno));
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                  ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(file.c_str());
    throw AuditTableFileError("cannot write " + file + ": " + std::strerror(err));
  }
}

}  // namespace tallyvox::audit
