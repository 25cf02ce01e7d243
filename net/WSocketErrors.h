// Windows Sockets error codes, their English texts, the message format of a
// socket error and the exception that carries it.
//
// Result codes and messages of the whole program are expressed in these codes,
// so every operating-system or resolver failure is first mapped onto one of
// them. Owns no state: pure functions, safe from any thread.
#pragma once

#include <stdexcept>
#include <string>

namespace orvane::net {

// What the socket throws when no OnError handler takes its errors, and what
// the resolution functions always throw.
class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The codes the network layer produces. Values are fixed by the program's
// result codes and must never change.
inline constexpr int WSANOERROR = 0;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// The English text of a code; "Not a WinSock error" for any code not listed.
std::string WSocketErrorDesc(int errCode);
// The error message format shared by the socket and its users:
// "Error <code> in function <fn>\r\n<WSocketErrorDesc(code)>".
std::string socketErrorMessage(int code, const std::string& functionName);

// Maps an errno value onto its Windows Sockets code; 0 stays 0. An errno
// without an equivalent gives WSASYSNOTREADY ("Network sub-system is
// unusable"), so a failure is never reported as success.
int socketErrorFromErrno(int err);
// Maps a getaddrinfo() result (EAI_*) or a libuv resolver status (UV_EAI_*)
// onto a Windows Sockets code; 0 stays 0, unknown values give 11003.
int socketErrorFromGai(int gaiError);
// Maps a libuv status (a negated errno, or UV_EAI_*) onto a code; 0 stays 0.
int socketErrorFromUv(int uvStatus);

// True for errno values that only mean "not now" (EAGAIN, EWOULDBLOCK, EINTR,
// EINPROGRESS): the operation may be retried when the socket is ready.
bool isRetryableErrno(int err) noexcept;

}  // namespace orvane::net
