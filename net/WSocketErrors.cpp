#include "net/WSocketErrors.h"

#include <netdb.h>
#include <uv.h>

#include <cerrno>

namespace orvane::net {

std::string WSocketErrorDesc(int errCode) {
  switch (errCode) {
    case 0:
      return "No Error";
    case 10004:
      return "Interrupted system call";
    case 10009:
      return "Bad file number";
    case 10013:
      return "Permission denied";
    case 10014:
      return "Bad address";
    case 10022:
      return "Invalid argument";
    case 10024:
      return "Too many open files";
    case 10035:
      return "Operation would block";
    case 10036:
      return "Operation now in progress";
    case 10037:
      return "Operation already in progress";
    case 10038:
      return "Socket operation on non-socket";
    case 10039:
      return "Destination address required";
    case 10040:
      return "Message too long";
    case 10041:
      return "Protocol wrong type for socket";
    case 10042:
      return "Protocol not available";
    case 10043:
      return "Protocol not supported";
    case 10044:
      return "Socket type not supported";
    case 10045:
      return "Operation not supported on socket";
    case 10046:
      return "Protocol family not supported";
    case 10047:
      return "Address family not supported by protocol family";
    case 10048:
      return "Address already in use";
    case 10049:
      return "Address not available";
    case 10050:
      return "Network is down";
    case 10051:
      return "Network is unreachable";
    case 10052:
      return "Network dropped connection on reset";
    case 10053:
      return "Connection aborted";
    case 10054:
      return "Connection reset by peer";
    case 10055:
      return "No buffer space available";
    case 10056:
      return "Socket is already connected";
    case 10057:
      return "Socket is not connected";
    case 10058:
      return "Can't send after socket shutdown";
    case 10059:
      return "Too many references: can't splice";
    case 10060:
      return "Connection timed out";
    case 10061:
      return "Connection refused";
    case 10062:
      return "Too many levels of symbolic links";
    case 10063:
      return "File name too long";
    case 10064:
      return "Host is down";
    case 10065:
      return "No route to host";
    case 10066:
      return "Directory not empty";
    case 10067:
      return "Too many processes";
    case 10068:
      return "Too many users";
    case 10069:
      return "Disc quota exceeded";
    case 10070:
      return "Stale NFS file handle";
    case 10071:
      return "Too many levels of remote in path";
    case 10091:
      return "Network sub-system is unusable";
    case 10092:
      return "WinSock DLL cannot support this application";
    case 10093:
      return "WinSock not initialized";
    case 11001:
      return "Host not found";
    case 11002:
      return "Non-authoritative host not found";
    case 11003:
      return "Non-recoverable error";
    case 11004:
      return "No Data";
    default:
      return "Not a WinSock error";
  }
}

std::string socketErrorMessage(int code, const std::string& functionName) {
  return "Error " + std::to_string(code) + " in function " + functionName + "\r\n" +
         WSocketErrorDesc(code);
}

int socketErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return WSASYSNOTREADY;
  }
}

int socketErrorFromGai(int gaiError) {
  switch (gaiError) {
    case 0:
      return 0;
    case EAI_NONAME:
    case UV_EAI_NONAME:
      return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case UV_EAI_NODATA:
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    case UV_EAI_ADDRFAMILY:
      return WSANO_DATA;
    case EAI_AGAIN:
    case UV_EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
    case UV_EAI_FAIL:
      return WSANO_RECOVERY;
    case EAI_MEMORY:
    case UV_EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_FAMILY:
    case UV_EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
    case UV_EAI_SOCKTYPE:
      return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE:
    case UV_EAI_SERVICE:
      return WSANO_DATA;
    case EAI_BADFLAGS:
    case UV_EAI_BADFLAGS:
      return WSAEINVAL;
    case EAI_OVERFLOW:
    case UV_EAI_OVERFLOW:
      return WSAEFAULT;
    case UV_EAI_CANCELED:
      return WSAEINTR;
    case EAI_SYSTEM:
      return errno != 0 ? socketErrorFromErrno(errno) : WSANO_RECOVERY;
    default:
      return WSANO_RECOVERY;
  }
}

int socketErrorFromUv(int uvStatus) {
  if (uvStatus == 0) return 0;
  // libuv's resolver codes lie in -3000..-3099; everything else is -errno.
  if (uvStatus <= -3000 && uvStatus > -3100) return socketErrorFromGai(uvStatus);
  if (uvStatus < 0) return socketErrorFromErrno(-uvStatus);
  return socketErrorFromErrno(uvStatus);
}

bool isRetryableErrno(int err) noexcept {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == EINPROGRESS;
}

}  // namespace orvane::net
