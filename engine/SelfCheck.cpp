#include "engine/SelfCheck.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <exception>

#include "core/Text.h"
#include "engine/AddressSyntax.h"
#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/SelfCheckSupport.h"
#include "engine/SmtpRelayServer.h"
#include "net/DnsMessage.h"
#include "net/DnsQuery.h"
#include "net/SmtpCli.h"
#include "net/SocketAddress.h"
#include "net/SocksCodec.h"
#include "net/WSocketErrors.h"

namespace orvane::engine {

namespace selfcheck {

std::string millis(std::uint32_t ms) {
  return std::to_string(ms) + " ms";
}

std::string seconds(std::uint32_t ms) {
  return std::to_string((ms + 999) / 1000) + " s";
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const auto& item : items) (out += out.empty() ? "" : separator) += item;
  return out;
}

// A reply or record shown in a row: control bytes (a TXT record may hold
// any) become blanks, and a long text is cut.
std::string shown(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, kMaxReasonBytes)) {
    out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  }
  if (text.size() > kMaxReasonBytes) out += "...";
  return out;
}

// Addresses no host on the Internet sees a client come from: the private
// ranges behind NAT, shared (carrier-grade NAT) and link-local addresses,
// unique-local and link-local IPv6.
bool isPrivate(const net::SocketAddress& address) {
  if (address.isIpv6()) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(address.data());
    const std::uint8_t* b = a->sin6_addr.s6_addr;
    return (b[0] & 0xfe) == 0xfc || (b[0] == 0xfe && (b[1] & 0xc0) == 0x80);
  }
  const auto* a = reinterpret_cast<const sockaddr_in*>(address.data());
  const std::uint32_t ip = ntohl(a->sin_addr.s_addr);
  const auto in = [ip](std::uint32_t net, int bits) {
    return (ip >> (32 - bits)) == (net >> (32 - bits));
  };
  return in(0x0a000000u, 8) || in(0xac100000u, 12) || in(0xc0a80000u, 16) || in(0x64400000u, 10) ||
         in(0xa9fe0000u, 16);
}

// The data of the records of `type` that the answer's CNAME chain from
// `name` leads to.
std::vector<std::string> recordsOf(const net::TDnsResponse& answer, const std::string& name,
                                   std::uint16_t type) {
  std::vector<std::string> out;
  const net::DnsCnameChain chain = net::followCnames(answer, name, AddressResolver::kMaxCnameSteps);
  if (chain.loop || chain.tooLong) return out;
  const int n = std::min(answer.answerCount, net::kDnsTableSize);
  for (int i = 0; i < n; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (answer.AnswerType[k] == type && !answer.answerText[k].empty() &&
        net::dnsNamesEqual(answer.AnswerName[k], chain.target)) {
      out.push_back(answer.answerText[k]);
    }
  }
  return out;
}

bool contains(const HostAddresses& found, const std::string& address) {
  const auto same = [&](const std::string& a) {
    const auto x = net::SocketAddress::parse(a);
    const auto y = net::SocketAddress::parse(address);
    return x && y && x->ip() == y->ip();
  };
  return std::any_of(found.ipv4.begin(), found.ipv4.end(), same) ||
         std::any_of(found.ipv6.begin(), found.ipv6.end(), same);
}

// What a DNS server that failed us did, for a row.
std::string dnsFailure(DnsOutcome outcome, int code, const std::string& detail) {
  switch (outcome) {
    case DnsOutcome::NoAnswer:
      return "did not answer";
    case DnsOutcome::Unreachable:
      return "cannot be reached (" + net::WSocketErrorDesc(code) + ")";
    case DnsOutcome::ServerFailure:
      return "answered with a server failure (SERVFAIL)";
    case DnsOutcome::ServerRefused:
      return "refused to answer (REFUSED)";
    case DnsOutcome::Malformed:
      return "sent an answer that cannot be read";
    case DnsOutcome::NotSent:
      return "could not be asked: " + detail;
    default:
      return "answered with error code " + std::to_string(code);
  }
}

}  // namespace selfcheck

using namespace selfcheck;

std::string_view checkStatusText(CheckStatus status) noexcept {
  switch (status) {
    case CheckStatus::Green:
      return "OK";
    case CheckStatus::Amber:
      return "Warning";
    case CheckStatus::Red:
      break;
  }
  return "Problem";
}

std::optional<std::string> asciiDomain(std::string_view text) {
  text = trimBlanks(text);
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  if (text.empty() || text.front() == '[') return std::nullopt;
  const PreparedAddress prepared = prepareAddress("postmaster@" + std::string(text));
  if (prepared.status != PreparedAddress::Status::Ready) return std::nullopt;
  return prepared.domain;
}

std::optional<std::vector<std::string>> parseBlockLists(std::string_view text, std::string& bad) {
  std::vector<std::string> zones;
  for (const auto& entry : splitServerText(trimBlanks(text), ' ')) {
    if (entry.empty()) continue;
    const auto zone = asciiDomain(entry);
    if (!zone) {
      bad = entry;
      return std::nullopt;
    }
    zones.push_back(*zone);
  }
  return zones;
}

std::vector<std::string> defaultBlockLists() {
  std::string bad;
  return parseBlockLists(kDefaultBlockLists, bad).value_or(std::vector<std::string>{});
}

std::string statedClientAddress(std::string_view line, std::string_view server) {
  const auto server_ = net::SocketAddress::parse(server);
  const auto usable = [&](std::string_view text) -> std::string {
    const auto a = net::SocketAddress::parse(text);
    if (!a || (server_ && a->ip() == server_->ip())) return {};
    const std::string ip = a->ip();
    return ip == "0.0.0.0" || ip == "::" ? std::string() : ip;
  };
  // "[192.0.2.7]", "[IPv6:2001:db8::7]" first.
  for (std::size_t open = line.find('['); open != std::string_view::npos;
       open = line.find('[', open + 1)) {
    const std::size_t close = line.find(']', open);
    if (close == std::string_view::npos) break;
    std::string_view inside = line.substr(open + 1, close - open - 1);
    if (inside.size() > 5 &&
        std::equal(inside.begin(), inside.begin() + 5,
                   "IPv6:", [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      inside.remove_prefix(5);
    }
    if (std::string ip = usable(inside); !ip.empty()) return ip;
  }
  // Then a bare address among the words.
  const auto part = [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':';
  };
  for (std::size_t i = 0; i < line.size();) {
    if (!part(line[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < line.size() && part(line[end])) ++end;
    std::string_view word = line.substr(i, end - i);
    while (!word.empty() && (word.back() == '.' || word.back() == ':')) word.remove_suffix(1);
    if (std::string ip = usable(word); !ip.empty()) return ip;
    i = end;
  }
  return {};
}

SelfCheck::SelfCheck(net::EventLoop& loop)
    : loop_(loop),
      asker_(loop),
      hostAddresses_(loop, asker_),
      nameAddresses_(loop, asker_),
      mx_(loop, asker_, hostAddresses_),
      smtp_(std::make_unique<net::TSmtpCli>(loop)),
      smtpTimer_(loop),
      systemDnsSources_(defaultSystemDnsSources()),
      internalDns_(kInternalDnsServer) {
  smtp_->OnRequestDone = [this](net::TSmtpCli& client, net::TSmtpRequest, std::uint16_t error) {
    if (client.doneRequestId() != awaited_ || awaited_ == 0) return;
    awaited_ = 0;
    smtpDone(error);
  };
  smtp_->OnResponse = [this](net::TSmtpCli&, const std::string& line) {
    if (phase_ == Phase::Connect) {
      if (greeting_.empty()) greeting_ = line;
      greetingLines_.push_back(line);
    } else if (phase_ == Phase::Helo) {
      heloLines_.push_back(line);
    }
  };
}

SelfCheck::~SelfCheck() {
  stop();
  smtp_->OnRequestDone = nullptr;
  smtp_->OnResponse = nullptr;
}

void SelfCheck::setSystemDnsSources(std::vector<std::string> sources) {
  systemDnsSources_ = std::move(sources);
}

void SelfCheck::setInternalDns(std::string servers) {
  internalDns_ = std::move(servers);
}

CheckStatus SelfCheck::worst() const noexcept {
  CheckStatus worst = CheckStatus::Green;
  for (const auto& row : rows_) worst = std::max(worst, row.status);
  return worst;
}

void SelfCheck::stop() {
  running_ = false;
  ++generation_;
  smtpTimer_.stop();
  awaited_ = 0;
  if (smtp_->Connected() || smtp_->State() != net::smtpReady) smtp_->Abort();
  mx_.cancelAll();
  hostAddresses_.cancelAll();
  nameAddresses_.cancelAll();
  asker_.cancelAll();
}

void SelfCheck::start(const EngineSettings& settings, const std::string& domain,
                      std::vector<std::string> blockLists) {
  stop();
  // The sender goes out as it was typed, its domain in ASCII form: the
  // domain and the HELO name a run would take from it.
  std::string from = ExtractAddress(settings.from);
  const PreparedAddress sender = prepareAddress(from);
  if (sender.status == PreparedAddress::Status::Ready) from = sender.address;
  const std::string senderWhy = senderProblem(settings.from);

  std::string helo;
  bool heloFromSender = false;
  if (!settings.heloOverride.empty()) {
    helo = settings.heloOverride;
  } else if (settings.hostFromDomain == 1) {
    heloFromSender = true;
    const std::size_t at = from.find('@');
    if (at != std::string::npos) helo = from.substr(at + 1, 255);
  } else {
    helo = settings.host;
  }
  if (heloFromSender && !senderWhy.empty()) throw RunStartError(senderWhy);
  if (helo.empty()) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) helo = name;
  }
  std::string checked;
  if (trimBlanks(domain).empty()) {
    if (!senderWhy.empty()) throw RunStartError(senderWhy);
    checked = sender.domain;
  } else if (const auto ascii = asciiDomain(domain)) {
    checked = *ascii;
  } else {
    throw RunStartError("The domain " + domain + " is not a domain name");
  }
  const std::string configured(trimBlanks(settings.primaryDns + " " + settings.secondaryDns));
  std::vector<std::string> servers =
      buildDnsServerList(configured, systemDnsSources_, internalDns_);
  if (servers.empty()) throw RunStartError(std::string(kNoDnsServer));

  settings_ = settings;
  domain_ = std::move(checked);
  helo_ = std::move(helo);
  zones_ = std::move(blockLists);
  servers_ = std::move(servers);
  serversConfigured_ = !configured.empty();
  serversWhose_ = serversConfigured_ ? "The configured DNS server "
                  : buildDnsServerList({}, systemDnsSources_, {}).empty()
                      ? "The built-in DNS server "
                      : "The system's DNS server ";
  timeOutMs_ = static_cast<std::uint32_t>(std::max(settings.timeOut, 1)) * 1000u;
  mailHost_.clear();
  targets_.clear();
  target_.clear();
  phase_ = Phase::Idle;
  greeting_.clear();
  greetingLines_.clear();
  heloLines_.clear();
  notes_.clear();
  settled_ = false;
  client_.clear();
  clientHow_.clear();
  clientUnusable_.clear();
  clientAdvice_.clear();
  heloFound_.reset();
  reverse_.reset();
  listings_.clear();
  slots_.assign(zones_.empty() ? 3 : 4, std::nullopt);
  reported_ = 0;
  rows_.clear();

  smtp_->setPort(settings.smtpPort.empty() ? "smtp" : settings.smtpPort);
  smtp_->setSignOn(helo_);
  smtp_->setSocksServer(settings.proxy.enabled() ? settings.proxy.host : std::string());
  smtp_->setSocksPort(settings.proxy.port);
  smtp_->setSocksLevel("5");
  smtp_->setSocksUsercode(settings.proxy.user);
  smtp_->setSocksPassword(settings.proxy.password);

  asker_.reset(servers_, DnsAsker::kRetryMs, timeOutMs_);
  hostAddresses_.reset(settings.useIpv6);
  nameAddresses_.reset(true);
  mx_.reset();
  running_ = true;
  startedAt_ = loop_.now();
  mx_.resolve(domain_,
              [this](const MxAnswer& answer, const TransactionLog*) { mxAnswered(answer); });

  // An address literal as HELO name needs no question.
  std::string literal = helo_;
  if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']') {
    literal = literal.substr(1, literal.size() - 2);
    if (literal.rfind("IPv6:", 0) == 0) literal.erase(0, 5);
  }
  if (const auto address = net::SocketAddress::parse(literal)) {
    heloLiteral_ = true;
    HostAddresses found;
    (address->isIpv6() ? found.ipv6 : found.ipv4).push_back(address->ip());
    heloFound_ = std::move(found);
  } else {
    heloLiteral_ = false;
    nameAddresses_.resolve(helo_, [this](const HostAddresses& found) { heloResolved(found); });
  }
}

// ------------------------------------------------------------------ DNS row

void SelfCheck::mxAnswered(const MxAnswer& answer) {
  const std::uint32_t elapsed = loop_.now() - startedAt_;
  const std::string server = answer.server.empty() ? servers_.front() : answer.server;
  const std::string& whose = serversWhose_;
  const std::string dnsAdvice =
      serversConfigured_
          ? "Check the DNS servers in Tools | Options (or --dns), or leave them empty to use the "
            "system's; a firewall may block DNS (UDP port 53)"
          : "Check this machine's network connection, or set DNS servers in Tools | Options (or "
            "--dns); a firewall may block DNS (UDP port 53)";
  const std::string domainAdvice =
      "Give a domain that receives mail (Domain to try, --domain, or the sender's address in "
      "Tools | Options): the other checks need its mail host";
  CheckRow row{std::string(kCheckDns), CheckStatus::Green, {}, {}};
  const std::string answered = whose + server + " answered in " + millis(elapsed) + ": ";
  switch (answer.outcome) {
    case DnsOutcome::Answered:
      if (answer.domainItself) {
        row.found = answered + domain_ + " has no MX record; it is its own mail host";
      } else {
        std::vector<std::string> hosts(
            answer.hosts.begin(),
            answer.hosts.begin() +
                static_cast<std::ptrdiff_t>(std::min(answer.hosts.size(), kMailHostsShown)));
        row.found = answered + "the mail host" + (answer.hosts.size() > 1 ? "s" : "") + " of " +
                    domain_ + (answer.hosts.size() > 1 ? " are " : " is ") + joined(hosts, ", ") +
                    (answer.hosts.size() > kMailHostsShown ? ", ..." : "");
      }
      break;
    case DnsOutcome::NoSuchDomain:
      row = {row.check, CheckStatus::Amber, answered + domain_ + " does not exist", domainAdvice};
      break;
    case DnsOutcome::NullMx:
      row = {row.check, CheckStatus::Amber, answered + domain_ + " accepts no mail (null MX)",
             domainAdvice};
      break;
    case DnsOutcome::NoAnswer:
      row = {row.check, CheckStatus::Red,
             "No answer from " +
                 joined(servers_.size() > 2
                            ? std::vector<std::string>(servers_.begin(), servers_.begin() + 2)
                            : servers_,
                        " or ") +
                 " within " + seconds(timeOutMs_) + " (asked for the mail hosts of " + domain_ +
                 ")",
             dnsAdvice};
      break;
    case DnsOutcome::ServerFailure:
    case DnsOutcome::ServerRefused:
    case DnsOutcome::OtherError:
      row = {row.check, CheckStatus::Red,
             whose + server + " " + dnsFailure(answer.outcome, answer.code, answer.detail) +
                 " when asked for the mail hosts of " + domain_,
             "A resolver that filters or refuses questions is in the way: use another DNS server "
             "(Tools | Options, or --dns)"};
      break;
    default:
      row = {row.check, CheckStatus::Red,
             whose + server + " " + dnsFailure(answer.outcome, answer.code, answer.detail),
             dnsAdvice};
      break;
  }
  put(kSlotDns, std::move(row));
  if (!running_) return;
  if (answer.outcome != DnsOutcome::Answered || answer.hosts.empty()) {
    smtpRow(CheckStatus::Amber,
            "Not tested: DNS gave no mail host of " + domain_ + " to connect to",
            "Mend what the DNS servers row says first");
    return;
  }
  mailHost_ = answer.hosts.front();
  if (const auto numeric = net::SocketAddress::parse(mailHost_)) {
    HostAddresses found;
    (numeric->isIpv6() ? found.ipv6 : found.ipv4).push_back(numeric->ip());
    hostResolved(mailHost_, found);
  } else if (const HostAddresses* cached = hostAddresses_.cached(mailHost_)) {
    const HostAddresses copy = *cached;
    hostResolved(mailHost_, copy);
  } else {
    hostAddresses_.resolve(mailHost_,
                           [this](const HostAddresses& found) { hostResolved(mailHost_, found); });
  }
}

// ------------------------------------------------------------------- rows

void SelfCheck::put(std::size_t slot, CheckRow row) {
  if (!running_ || slot >= slots_.size() || slots_[slot]) return;
  slots_[slot] = std::move(row);
  const std::weak_ptr<int> alive = alive_;
  const std::uint64_t generation = generation_;
  while (reported_ < slots_.size() && slots_[reported_]) {
    rows_.push_back(*slots_[reported_++]);
    if (onRow) onRow(rows_.back());
    if (alive.expired() || generation != generation_) return;
  }
  if (reported_ == slots_.size()) {
    // The check is over: the connection (QUIT under way) is cut.
    running_ = false;
    stop();
    if (onFinished) onFinished(worst());
  }
}

}  // namespace orvane::engine
