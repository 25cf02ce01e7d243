// TWSocket: asynchronous host-name lookups on libuv's worker pool, completed
// on the loop thread.
#include "net/WSocket.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <utility>

#include "net/WSocketInternal.h"

namespace orvane::net {

// A pending host-name lookup. When the socket cancels it or goes away the
// request is orphaned (owner cleared) and frees itself on completion.
struct TWSocket::Lookup {
  TWSocket* owner = nullptr;
  bool reverse = false;
  uv_getaddrinfo_t gai{};
  uv_getnameinfo_t gni{};
};

// What both lookups do first: an empty text fails at once, a lookup still
// running is cancelled, earlier results are emptied. False: the call is over
// (the text was empty, or a handler destroyed the socket).
bool TWSocket::beginLookup(const std::string& text) {
  std::weak_ptr<int> token = life_;
  if (text.empty()) {
    lastError_ = WSAEINVAL;
    raiseException("DNS lookup: invalid host name.");
    if (!token.expired() && OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINVAL);
    return false;
  }
  if (lookup_ != nullptr) {
    CancelDnsLookup();
    if (token.expired()) return false;
  }
  dnsResult_.clear();
  dnsResultList_.clear();
  return true;
}

void TWSocket::DnsLookup(const std::string& hostName) {
  if (!beginLookup(hostName)) return;
  const in_addr_t numeric = inet_addr(hostName.c_str());
  const auto v6 =
      hostName.find(':') != std::string::npos ? SocketAddress::parse(hostName) : std::nullopt;
  if (numeric != INADDR_NONE || v6) {
    in_addr a{};
    a.s_addr = numeric;
    dnsResult_ = v6 ? v6->ip() : dottedAddress(a);
    dnsResultList_.push_back(dnsResult_);
    if (OnDnsLookupDone) OnDnsLookupDone(*this, 0);
    return;
  }
  auto* lk = new Lookup;
  lk->owner = this;
  lk->gai.data = lk;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  const int r = uv_getaddrinfo(loop_.uv(), &lk->gai, &TWSocket::onLookupDone, hostName.c_str(),
                               nullptr, &hints);
  startedLookup(lk, hostName, r);
}

void TWSocket::ReverseDnsLookup(const std::string& hostAddr) {
  if (!beginLookup(hostAddr)) return;
  in_addr v4{};
  v4.s_addr = inet_addr(hostAddr.c_str());
  const SocketAddress sa = SocketAddress::parse(hostAddr).value_or(SocketAddress::fromIpv4(v4, 0));
  auto* lk = new Lookup;
  lk->owner = this;
  lk->reverse = true;
  lk->gni.data = lk;
  const int r =
      uv_getnameinfo(loop_.uv(), &lk->gni, &TWSocket::onReverseDone, sa.data(), NI_NAMEREQD);
  startedLookup(lk, hostAddr, r);
}

void TWSocket::startedLookup(Lookup* lk, const std::string& text, int uvResult) {
  if (uvResult == 0) {
    lookup_ = lk;
    return;
  }
  // libuv refused the request: nothing is pending, and the caller hears why.
  delete lk;
  lastError_ = socketErrorFromUv(uvResult);
  raiseException(text + ": can't start DNS lookup, error #" + std::to_string(lastError_));
}

void TWSocket::CancelDnsLookup() {
  if (lookup_ == nullptr) return;
  Lookup* lk = lookup_;
  lookup_ = nullptr;
  lk->owner = nullptr;  // the request frees itself when the worker is done
  if (lk->reverse)
    uv_cancel(reinterpret_cast<uv_req_t*>(&lk->gni));
  else
    uv_cancel(reinterpret_cast<uv_req_t*>(&lk->gai));
  if (!destroying_ && OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINTR);
}

void TWSocket::onLookupDone(uv_getaddrinfo_t* req, int status, addrinfo* res) {
  auto* lk = static_cast<Lookup*>(req->data);
  std::vector<std::string> results;
  if (status == 0) {
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
      std::string a = dottedAddress(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr);
      if (std::find(results.begin(), results.end(), a) == results.end())
        results.push_back(std::move(a));
    }
  }
  if (res != nullptr) uv_freeaddrinfo(res);
  lookupEnded(lk, status, std::move(results));
}

void TWSocket::onReverseDone(uv_getnameinfo_t* req, int status, const char* host,
                             const char* /*service*/) {
  auto* lk = static_cast<Lookup*>(req->data);
  std::vector<std::string> results;
  if (status == 0 && host != nullptr && *host != '\0') results.emplace_back(host);
  lookupEnded(lk, status, std::move(results));
}

void TWSocket::lookupEnded(Lookup* lk, int status, std::vector<std::string> results) {
  TWSocket* self = lk->owner;
  delete lk;
  if (self == nullptr) return;  // the socket went away or cancelled the lookup
  self->lookup_ = nullptr;
  int error = socketErrorFromUv(status);
  if (error == 0 && results.empty()) error = WSANO_DATA;
  self->finishLookup(error, std::move(results));
}

void TWSocket::finishLookup(int error, std::vector<std::string> results) {
  if (error == 0) {
    dnsResultList_ = std::move(results);
    dnsResult_ = dnsResultList_.front();
  }
  fromLoop([this, error] {
    if (OnDnsLookupDone) OnDnsLookupDone(*this, static_cast<std::uint16_t>(error));
  });
}

}  // namespace orvane::net
