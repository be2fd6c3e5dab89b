#include "net/socket_errors.h"

#include <cerrno>

namespace tallyvox::net {

std::string SocketErrorText(int32_t error) {
  switch (error) {
    case kWsaeIntr:
      return "Interrupted system call.";
    case kWsaeBadf:
      return "Bad file number.";
    case kWsaeAcces:
      return "Access denied.";
    case kWsaeFault:
      return "Bad address.";
    case kWsaeInval:
      return "Invalid argument.";
    case kWsaeMfile:
      return "Too many open files.";
    case kWsaeWouldBlock:
      return "Operation would block. ";
    case kWsaeInProgress:
      return "Operation now in progress.";
    case kWsaeAlready:
      return "Operation already in progress.";
    case kWsaeNotSock:
      return "Socket operation on non-socket.";
    case kWsaeDestAddrReq:
      return "Destination address required.";
    case kWsaeMsgSize:
      return "Message too long.";
    case kWsaeProtoType:
      return "Protocol wrong type for socket.";
    case kWsaeNoProtoOpt:
      return "Bad protocol option.";
    case kWsaeProtoNoSupport:
      return "Protocol not supported.";
    case kWsaeSocktNoSupport:
      return "Socket type not supported.";
    case kWsaeOpNotSupp:
      return "Operation not supported on socket.";
    case kWsaePfNoSupport:
      return "Protocol family not supported.";
    case kWsaeAfNoSupport:
      return "Address family not supported by protocol family.";
    case kWsaeAddrInUse:
      return "Address already in use.";
    case kWsaeAddrNotAvail:
      return "Cannot assign requested address.";
    case kWsaeNetDown:
      return "Network is down.";
    case kWsaeNetUnreach:
      return "Network is unreachable.";
    case kWsaeNetReset:
      return "Net dropped connection or reset.";
    case kWsaeConnAborted:
      return "Software caused connection abort.";
    case kWsaeConnReset:
      return "Connection reset by peer.";
    case kWsaeNoBufs:
      return "No buffer space available.";
    case kWsaeIsConn:
      return "Socket is already connected.";
    case kWsaeNotConn:
      return "Socket is not connected.";
    case kWsaeShutdown:
      return "Cannot send or receive after socket is closed.";
    case kWsaeTooManyRefs:
      return "Too many references, cannot splice.";
    case kWsaeTimedOut:
      return "Connection timed out.";
    case kWsaeConnRefused:
      return "Connection refused.";
    case kWsaeLoop:
      return "Too many levels of symbolic links.";
    case kWsaeNameTooLong:
      return "File name too long.";
    case kWsaeHostDown:
      return "Host is down.";
    case kWsaeHostUnreach:
      return "No route to host.";
    case kWsaeNotEmpty:
      return "Directory not empty";
    default:
      return "";
  }
}

std::string SocketErrorMessage(int32_t error) {
  return "Socket Error # " + std::to_string(error) + "\r\n" + SocketErrorText(error);
}

int32_t WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return kWsaeIntr;
    case EBADF:
      return kWsaeBadf;
    case EACCES:
    case EPERM:
      return kWsaeAcces;
    case EFAULT:
      return kWsaeFault;
    case EINVAL:
      return kWsaeInval;
    case EMFILE:
    case ENFILE:
      return kWsaeMfile;
    case EAGAIN:
      return kWsaeWouldBlock;  // EWOULDBLOCK is the same value on Linux
    case EINPROGRESS:
      return kWsaeInProgress;
    case EALREADY:
      return kWsaeAlready;
    case ENOTSOCK:
      return kWsaeNotSock;
    case EDESTADDRREQ:
      return kWsaeDestAddrReq;
    case EMSGSIZE:
      return kWsaeMsgSize;
    case EPROTOTYPE:
      return kWsaeProtoType;
    case ENOPROTOOPT:
      return kWsaeNoProtoOpt;
    case EPROTONOSUPPORT:
      return kWsaeProtoNoSupport;
    case ESOCKTNOSUPPORT:
      return kWsaeSocktNoSupport;
    case EOPNOTSUPP:
      return kWsaeOpNotSupp;
    case EPFNOSUPPORT:
      return kWsaePfNoSupport;
    case EAFNOSUPPORT:
      return kWsaeAfNoSupport;
    case EADDRINUSE:
      return kWsaeAddrInUse;
    case EADDRNOTAVAIL:
      return kWsaeAddrNotAvail;
    case ENETDOWN:
      return kWsaeNetDown;
    case ENETUNREACH:
      return kWsaeNetUnreach;
    case ENETRESET:
      return kWsaeNetReset;
    case ECONNABORTED:
      return kWsaeConnAborted;
    case ECONNRESET:
      return kWsaeConnReset;
    case EPIPE:
      return kWsaeShutdown;  // sending after the peer or we shut the socket down
    case ENOBUFS:
    case ENOMEM:
      return kWsaeNoBufs;
    case EISCONN:
      return kWsaeIsConn;
    case ENOTCONN:
      return kWsaeNotConn;
    case ESHUTDOWN:
      return kWsaeShutdown;
    case ETOOMANYREFS:
      return kWsaeTooManyRefs;
    case ETIMEDOUT:
      return kWsaeTimedOut;
    case ECONNREFUSED:
      return kWsaeConnRefused;
    case ELOOP:
      return kWsaeLoop;
    case ENAMETOOLONG:
      return kWsaeNameTooLong;
    case EHOSTDOWN:
      return kWsaeHostDown;
    case EHOSTUNREACH:
      return kWsaeHostUnreach;
    case ENOTEMPTY:
      return kWsaeNotEmpty;
    default:
      return 10000 + err;
  }
}

}  // namespace tallyvox::net
