// Socket error numbers: the Windows Sockets numbers that the network layer's errors
// carry and its messages quote ("Socket Error # %d\r\n%s"), with their texts. The Linux
// errno values are mapped onto them by WinsockErrorFromErrno.
#ifndef TALLYVOX_NET_SOCKET_ERRORS_H_
#define TALLYVOX_NET_SOCKET_ERRORS_H_

#include <cstdint>
#include <string>

namespace tallyvox::net {

// The numbers with a text (the Windows Sockets name in the comment).
constexpr int32_t kWsaeIntr = 10004;            // WSAEINTR
constexpr int32_t kWsaeBadf = 10009;            // WSAEBADF
constexpr int32_t kWsaeAcces = 10013;           // WSAEACCES
constexpr int32_t kWsaeFault = 10014;           // WSAEFAULT
constexpr int32_t kWsaeInval = 10022;           // WSAEINVAL
constexpr int32_t kWsaeMfile = 10024;           // WSAEMFILE
constexpr int32_t kWsaeWouldBlock = 10035;      // WSAEWOULDBLOCK
constexpr int32_t kWsaeInProgress = 10036;      // WSAEINPROGRESS
constexpr int32_t kWsaeAlready = 10037;         // WSAEALREADY
constexpr int32_t kWsaeNotSock = 10038;         // WSAENOTSOCK
constexpr int32_t kWsaeDestAddrReq = 10039;     // WSAEDESTADDRREQ
constexpr int32_t kWsaeMsgSize = 10040;         // WSAEMSGSIZE
constexpr int32_t kWsaeProtoType = 10041;       // WSAEPROTOTYPE
constexpr int32_t kWsaeNoProtoOpt = 10042;      // WSAENOPROTOOPT
constexpr int32_t kWsaeProtoNoSupport = 10043;  // WSAEPROTONOSUPPORT
constexpr int32_t kWsaeSocktNoSupport = 10044;  // WSAESOCKTNOSUPPORT
constexpr int32_t kWsaeOpNotSupp = 10045;       // WSAEOPNOTSUPP
constexpr int32_t kWsaePfNoSupport = 10046;     // WSAEPFNOSUPPORT
constexpr int32_t kWsaeAfNoSupport = 10047;     // WSAEAFNOSUPPORT
constexpr int32_t kWsaeAddrInUse = 10048;       // WSAEADDRINUSE
constexpr int32_t kWsaeAddrNotAvail = 10049;    // WSAEADDRNOTAVAIL
constexpr int32_t kWsaeNetDown = 10050;         // WSAENETDOWN
constexpr int32_t kWsaeNetUnreach = 10051;      // WSAENETUNREACH
constexpr int32_t kWsaeNetReset = 10052;        // WSAENETRESET
constexpr int32_t kWsaeConnAborted = 10053;     // WSAECONNABORTED
constexpr int32_t kWsaeConnReset = 10054;       // WSAECONNRESET
constexpr int32_t kWsaeNoBufs = 10055;          // WSAENOBUFS
constexpr int32_t kWsaeIsConn = 10056;          // WSAEISCONN
constexpr int32_t kWsaeNotConn = 10057;         // WSAENOTCONN
constexpr int32_t kWsaeShutdown = 10058;        // WSAESHUTDOWN
constexpr int32_t kWsaeTooManyRefs = 10059;     // WSAETOOMANYREFS
constexpr int32_t kWsaeTimedOut = 10060;        // WSAETIMEDOUT
constexpr int32_t kWsaeConnRefused = 10061;     // WSAECONNREFUSED
constexpr int32_t kWsaeLoop = 10062;            // WSAELOOP
constexpr int32_t kWsaeNameTooLong = 10063;     // WSAENAMETOOLONG
constexpr int32_t kWsaeHostDown = 10064;        // WSAEHOSTDOWN
constexpr int32_t kWsaeHostUnreach = 10065;     // WSAEHOSTUNREACH
constexpr int32_t kWsaeNotEmpty = 10066;        // WSAENOTEMPTY

// Name lookups: no such host, and a temporary failure (no text in the table).
constexpr int32_t kWsaHostNotFound = 11001;  // WSAHOST_NOT_FOUND
constexpr int32_t kWsaTryAgain = 11002;      // WSATRY_AGAIN

// The text for a Windows Sockets error number ("" for numbers not in the
// table), and the full message "Socket Error # %d\r\n%s".
std::string SocketErrorText(int32_t error);
std::string SocketErrorMessage(int32_t error);

// Maps a Linux errno value onto the Windows Sockets number (ECONNREFUSED ->
// kWsaeConnRefused, ...). Values without a counterpart map to 10000 + errno.
int32_t WinsockErrorFromErrno(int err);

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SOCKET_ERRORS_H_
