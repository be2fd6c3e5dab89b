// The probe without the middleware client, for the benchmarks' comparisons:
// the request bytes the monitor sends (verified framing) and a plain socket
// client that connects, sends them, reads the framed answer and closes.
#ifndef TALLYVOX_BENCH_PLAIN_PROBE_H_
#define TALLYVOX_BENCH_PLAIN_PROBE_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "middleware/wire/framing.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/transport_stream.h"
#include "middleware/wire/variant.h"

namespace tallyvox::bench {

// CPU seconds of the whole process, every thread included.
inline double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The bytes of the probe request, framed as the monitor sends them.
inline std::string ProbeRequestBytes() {
  using namespace tallyvox::mw;
  auto request = MakeRequestStream();
  request->SetServiceName("MW_QUERY");
  request->SetServiceVersion("MW_1.0");
  request->SetFunction("EXECUTE");
  request->SetStateID(-1);
  request->SetRequestID(0);
  request->SetData(Variant("COMMON"));
  request->Args() = {Variant("select * from ufile7"), Variant("*"), Variant("*")};
  request->SetMessageCount(1);
  request->EnsureStreamState(kMwStreamStateLast);
  std::string body = request->Buffer().ToString();
  return FormatVerifiedLength(static_cast<uint32_t>(body.size())) + body;
}

inline bool ReadExactly(int fd, char* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::recv(fd, out + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// One probe over a plain socket to ip:port; raises on any failure.
inline void PlainProbe(const std::string& bytes, const std::string& ip, int port) {
  using namespace tallyvox::mw;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect failed");
  }
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("send failed");
  }
  char header[kMwVerifiedHeaderSize];
  uint32_t length = 0;
  if (!ReadExactly(fd, header, sizeof header) ||
      !ParseVerifiedLength(std::string_view(header, sizeof header), &length) || length > 65536) {
    throw std::runtime_error("bad answer header");
  }
  std::string body(length, '\0');
  if (!ReadExactly(fd, body.data(), length)) throw std::runtime_error("short answer");
}

}  // namespace tallyvox::bench

#endif  // TALLYVOX_BENCH_PLAIN_PROBE_H_
