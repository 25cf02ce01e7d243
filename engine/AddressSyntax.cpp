#include "engine/AddressSyntax.h"

#include <idn2.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace orvane::engine {
namespace {

constexpr std::size_t kMaxLocalPart = 64;
constexpr std::size_t kMaxAddress = 254;
constexpr std::size_t kMaxLabel = 63;

bool isAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool isAtext(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~.", c) != nullptr;
}

PreparedAddress refuse(std::string reason) {
  PreparedAddress p;
  p.status = PreparedAddress::Status::NotAddress;
  p.reason = std::move(reason);
  return p;
}

// Empty when the mailbox name is well formed, else why not.
std::string localPartProblem(std::string_view local) {
  if (local.size() >= 2 && local.front() == '"' && local.back() == '"') {
    for (char c : local.substr(1, local.size() - 2)) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) return "the quoted mailbox name holds control characters";
    }
    return {};
  }
  for (char c : local) {
    if (static_cast<unsigned char>(c) < 0x80 && !isAtext(c)) {
      return std::string("the mailbox name holds \"") + c + "\"";
    }
  }
  return {};
}

// Empty when the ASCII domain is well formed, else why not.
std::string domainProblem(std::string_view domain) {
  if (domain.front() == '[') {
    return domain.back() == ']' ? std::string() : "the address literal has no closing \"]\"";
  }
  std::string_view rest = domain;
  if (rest.back() == '.') rest.remove_suffix(1);  // a fully qualified name
  while (true) {
    const std::size_t dot = rest.find('.');
    const std::string_view label = rest.substr(0, dot);
    if (label.empty()) return "the domain has an empty label";
    if (label.size() > kMaxLabel) return "a label of the domain is longer than 63 characters";
    for (char c : label) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
      if (!ok) return std::string("the domain holds \"") + c + "\"";
    }
    if (dot == std::string_view::npos) return {};
    rest.remove_prefix(dot + 1);
  }
}

}  // namespace

PreparedAddress prepareAddress(std::string_view text) {
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos) return refuse("no \"@\"");
  const std::string_view local = text.substr(0, at);
  const std::string_view domainText = text.substr(at + 1);
  if (local.empty()) return refuse("nothing before the \"@\"");
  if (domainText.empty()) return refuse("no domain after the \"@\"");
  if (local.size() > kMaxLocalPart) return refuse("the mailbox name is longer than 64 characters");
  if (std::string problem = localPartProblem(local); !problem.empty()) return refuse(problem);

  std::string domain(domainText);
  if (!isAscii(domain)) {
    char* ascii = nullptr;
    const int rc = idn2_to_ascii_8z(domain.c_str(), &ascii, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK || ascii == nullptr) {
      std::free(ascii);
      return refuse(std::string("the domain is not a valid international name (") +
                    idn2_strerror(rc) + ")");
    }
    domain = ascii;
    idn2_free(ascii);
  }
  if (std::string problem = domainProblem(domain); !problem.empty()) return refuse(problem);
  if (local.size() + 1 + domain.size() > kMaxAddress) {
    return refuse("the address is longer than 254 characters");
  }
  PreparedAddress p;
  p.address = std::string(local) + "@" + domain;
  // Names in DNS are the same whatever their case: one lookup, one queue and
  // one catch-all answer per domain. The address keeps its case on the wire.
  for (char& c : domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  p.domain = std::move(domain);
  if (!isAscii(local)) {
    p.status = PreparedAddress::Status::NotSendable;
    p.reason = "the mailbox name has non-ASCII letters, which a server takes only with SMTPUTF8";
    return p;
  }
  p.status = PreparedAddress::Status::Ready;
  return p;
}

}  // namespace orvane::engine
