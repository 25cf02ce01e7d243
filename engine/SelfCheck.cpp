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
#include "engine/SmtpRelayServer.h"
#include "net/DnsMessage.h"
#include "net/DnsQuery.h"
#include "net/SmtpCli.h"
#include "net/SocketAddress.h"
#include "net/SocksCodec.h"
#include "net/WSocketErrors.h"

namespace orvane::engine {

namespace {

constexpr std::size_t kSlotDns = 0;
constexpr std::size_t kSlotSmtp = 1;
constexpr std::size_t kSlotHelo = 2;
constexpr std::size_t kSlotLists = 3;
constexpr std::size_t kMailHostsShown = 3;
constexpr std::size_t kMaxReasonBytes = 300;
constexpr int kDnsRcodeServerFailure = 2;
constexpr int kDnsRcodeRefused = 5;

constexpr std::string_view kBlockedAdvice =
    " looks blocked on this network: ask your provider, or use a SOCKS5 proxy";
constexpr std::string_view kHeloAdvice =
    "Many mail hosts refuse clients whose address has no reverse DNS naming the HELO name, or "
    "whose HELO name does not resolve to that address: ask your provider for a PTR record of the "
    "address naming the HELO name, or set as HELO name (Tools | Options, or --helo) a name whose "
    "PTR and A records agree";

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

}  // namespace

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

// The PTR question for the address we connect from, and where it led.
struct SelfCheck::Reverse {
  std::string name;  // the reverse name asked
  bool done = false;
  std::string failure;             // set when the server failed us
  std::vector<std::string> names;  // what the PTR records name
  bool forwardPending = false;
  std::optional<HostAddresses> forward;  // the addresses of names[0], when it is not the HELO name
};

// One block list's answer for the address we connect from.
struct SelfCheck::Listing {
  enum class State : std::uint8_t { Asking, NotListed, Listed, Refused, Odd, Failed };
  std::string zone;
  std::string name;  // the question: the reversed address in the zone
  State state = State::Asking;
  std::string answer;  // the A records given; or why the zone could not be asked
  std::string reason;  // the TXT records of a listing
  bool reasonPending = false;
};

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

// ----------------------------------------------------------------- SMTP row

std::string SelfCheck::portText() const {
  const std::string& port = smtp_->Port();
  return "port " + (port == "smtp" ? std::string("25") : port);
}

std::string SelfCheck::hostText() const {
  std::string text = mailHost_;
  if (target_ != mailHost_) {
    text += " [" + target_ + "]";
  }
  if (settings_.proxy.enabled()) text += " through the proxy " + settings_.proxy.name();
  return text;
}

void SelfCheck::hostResolved(const std::string& host, const HostAddresses& found) {
  if (found.outcome != DnsOutcome::Answered) {
    if (found.outcome == DnsOutcome::NoSuchDomain) {
      smtpRow(CheckStatus::Amber, "Not tested: the mail host " + host + " " + found.why,
              "The domain's mail host is misconfigured: give another domain (--domain)");
    } else {
      smtpRow(CheckStatus::Red,
              "The address of the mail host " + host + " could not be looked up: the DNS server " +
                  dnsFailure(found.outcome, found.code, {}),
              "Check the DNS servers (see the first row)");
    }
    return;
  }
  // As a run does: IPv6 first where it is used, and only the families a
  // source address was given for, when some were.
  const auto usable = [&](bool v6) {
    return settings_.sourceAddresses.empty() ||
           std::any_of(
               settings_.sourceAddresses.begin(), settings_.sourceAddresses.end(),
               [v6](const std::string& a) { return (a.find(':') != std::string::npos) == v6; });
  };
  if (settings_.useIpv6 && usable(true) && !found.ipv6.empty())
    targets_.push_back(found.ipv6.front());
  if (usable(false) && !found.ipv4.empty()) targets_.push_back(found.ipv4.front());
  if (targets_.empty()) {
    smtpRow(CheckStatus::Amber,
            "Not tested: " + host + " has no address this machine is set to connect to (IPv6 " +
                (settings_.useIpv6 ? "on" : "off") + ")",
            "Give another domain (--domain), or turn IPv6 on (Tools | Options)");
    return;
  }
  connectNext();
}

void SelfCheck::connectNext() {
  target_ = targets_.front();
  targets_.erase(targets_.begin());
  const bool v6 = target_.find(':') != std::string::npos;
  // The source address a run would give this mail host: the same one of
  // its family every time.
  std::vector<const std::string*> family;
  for (const auto& a : settings_.sourceAddresses) {
    if ((a.find(':') != std::string::npos) == v6) family.push_back(&a);
  }
  source_ = family.empty() ? std::string() : *family[stableHash(mailHost_) % family.size()];
  greeting_.clear();
  greetingLines_.clear();
  heloLines_.clear();
  phase_ = Phase::Connect;
  connectAt_ = loop_.now();
  smtp_->setHost(target_);
  smtp_->setLocalAddr(source_);
  try {
    smtp_->Connect();
  } catch (const std::exception& e) {
    smtpRow(CheckStatus::Red, "Could not connect to " + hostText() + ": " + e.what(),
            "Check the source addresses and the proxy in Tools | Options");
    return;
  }
  awaited_ = smtp_->requestId();
  smtpTimer_.start(timeOutMs_, 0, [this] { smtpTimedOut(); });
}

void SelfCheck::smtpTimedOut() {
  awaited_ = 0;
  const bool connected = smtp_->Connected();
  smtp_->Abort();
  if (phase_ == Phase::Helo) {
    smtpRow(CheckStatus::Amber,
            hostText() + " greeted (" + greeting_ + ") but did not answer HELO within " +
                seconds(timeOutMs_),
            "The host may be slow or throttle newcomers: run the check again later");
    return;
  }
  const std::string what =
      connected ? hostText() + " accepted the connection but sent no greeting within "
                : "No connection to " + hostText() + " on " + portText() + " within ";
  if (!targets_.empty()) {
    notes_.push_back(what + seconds(timeOutMs_));
    connectNext();
    return;
  }
  if (settings_.proxy.enabled()) {
    smtpRow(CheckStatus::Red, what + seconds(timeOutMs_),
            "The proxy may not reach " + portText() + " either: try another proxy");
  } else {
    smtpRow(CheckStatus::Red, what + seconds(timeOutMs_), portText() + std::string(kBlockedAdvice));
  }
}

void SelfCheck::smtpDone(std::uint16_t error) {
  if (phase_ == Phase::Connect) {
    if (error == 0) {
      greetedAt_ = loop_.now();
      phase_ = Phase::Helo;
      smtpTimer_.start(timeOutMs_, 0, [this] { smtpTimedOut(); });
      try {
        smtp_->Helo();
        awaited_ = smtp_->requestId();
      } catch (const std::exception& e) {
        smtpTimer_.stop();
        smtpRow(CheckStatus::Amber, "HELO " + helo_ + " could not be sent: " + e.what(),
                "Set another HELO name (Tools | Options, or --helo)");
      }
      return;
    }
    smtpTimer_.stop();
    if (smtp_->proxyFailure()) {
      std::string why = smtp_->LastResponse();
      if (why.rfind("500 ", 0) == 0) why.erase(0, 4);
      // The proxy works but could not reach this address of the host: the
      // host's other address may do.
      const bool farEnd =
          error == net::socksNetworkUnreachable || error == net::socksHostUnreachable ||
          error == net::socksConnectionRefused || error == net::socksTtlExpired ||
          error == net::socksUnknownAddressType || error == net::socksGeneralFailure;
      if (farEnd && !targets_.empty()) {
        notes_.push_back(why);
        connectNext();
        return;
      }
      if (why.rfind("proxy ", 0) == 0) why = "The " + why;
      smtpRow(CheckStatus::Red, why,
              farEnd ? "The proxy could not reach the mail host on " + portText() +
                           ": its network may block that port too; try another proxy"
                     : std::string("Check the proxy in Tools | Options (or --proxy): its address, "
                                   "port, user name and password"));
      return;
    }
    if (error == net::WSAEINTR && !greetingLines_.empty()) {
      // A greeting other than 220: the host turns us away.
      const int code = smtp_->statusCode();
      const std::string line = greetingLines_.back();
      if (code >= 400 && code < 500) {
        smtpRow(CheckStatus::Amber, hostText() + " turned us away for now: " + line,
                "The host is busy or slows newcomers down: run the check again later; if it "
                "persists, see the block lists row");
      } else {
        smtpRow(CheckStatus::Red, hostText() + " refused us at the greeting: " + line,
                "The host refuses this network's address (see the block lists row): validate "
                "from another network or through a SOCKS5 proxy");
      }
      return;
    }
    const std::string what = hostText() + " on " + portText() + ": " + net::WSocketErrorDesc(error);
    if (!targets_.empty()) {
      notes_.push_back(what);
      connectNext();
      return;
    }
    std::string advice;
    if (error == net::WSAENETUNREACH || error == net::WSAEHOSTUNREACH) {
      advice = "This machine has no route to that network: check its network connection";
    } else if (error == net::WSAECONNREFUSED) {
      advice = "Nothing accepts connections on " + portText() +
               " there, or a firewall refuses them: ask your provider whether it is blocked, or "
               "use a SOCKS5 proxy";
    } else {
      advice = portText() + std::string(kBlockedAdvice);
    }
    smtpRow(CheckStatus::Red, what, advice);
    return;
  }
  if (phase_ == Phase::Helo) {
    smtpTimer_.stop();
    const std::uint32_t greeted = greetedAt_ - connectAt_;
    if (error == 0) {
      smtpRow(CheckStatus::Green,
              hostText() + " greeted in " + millis(greeted) + " (" + greeting_ +
                  ") and accepted HELO " + helo_,
              "");
      try {
        if (running_ && smtp_->Connected()) smtp_->Quit();
      } catch (const std::exception&) {  // the connection is cut when the check ends
      }
      return;
    }
    if (smtp_->Connected() && error >= 400 && error < 600) {
      smtpRow(CheckStatus::Amber,
              hostText() + " greeted in " + millis(greeted) + " but refused HELO " + helo_ + ": " +
                  smtp_->LastResponse(),
              "Set a HELO name that is this machine's name in DNS (Tools | Options, or --helo); "
              "see the next row");
      return;
    }
    smtpRow(
        CheckStatus::Red,
        hostText() + " closed the connection after HELO " + helo_ + ": " + smtp_->LastResponse(),
        "The host refuses this client: see the next rows");
  }
}

void SelfCheck::smtpRow(CheckStatus status, std::string found, std::string advice) {
  if (!notes_.empty()) found = joined(notes_, "; ") + "; then " + found;
  phase_ = Phase::Done;
  put(kSlotSmtp, {std::string(kCheckSmtp), status, std::move(found), std::move(advice)});
  if (running_) connectionEnded();
}

void SelfCheck::connectionEnded() {
  // Which address hosts see us come from: the one the host states, else the
  // local end of the test connection.
  std::string stated;
  std::string where;
  for (const auto& [lines, place] : {std::pair{&heloLines_, "in its HELO reply"},
                                     std::pair{&greetingLines_, "in its greeting"}}) {
    for (const auto& line : *lines) {
      stated = statedClientAddress(line, target_);
      if (!stated.empty()) break;
    }
    if (!stated.empty()) {
      where = place;
      break;
    }
  }
  const std::string local = smtp_->localAddress();
  if (!stated.empty()) {
    client_ = stated;
    clientHow_ = "as " + mailHost_ + " stated it " + where;
  } else if (local.empty() || mailHost_.empty()) {
    clientUnusable_ = "no connection to a mail host was made";
    clientAdvice_ = "Run the check again once the rows above are mended";
  } else if (settings_.proxy.enabled()) {
    clientUnusable_ = "the test connection went through the proxy, and " + mailHost_ +
                      " did not state the address it saw";
    clientAdvice_ =
        "Mail hosts see the proxy's address: look it up on the lists' web sites, and ask the "
        "proxy's provider about its reverse DNS";
  } else {
    client_ = local;
    clientHow_ = "this machine's address on the test connection";
    const auto address = net::SocketAddress::parse(client_);
    if (!address) {
      clientUnusable_ = "the address of the test connection is unknown";
      clientAdvice_ = "Run the check again";
    } else if (isPrivate(*address)) {
      clientUnusable_ = client_ + " is a private address (behind NAT), and " + mailHost_ +
                        " did not state the public address it saw";
      clientAdvice_ =
          "Mail hosts see this network's public address: look it up on the lists' web sites, "
          "and ask your provider about its reverse DNS";
    }
  }
  settled_ = true;
  if (clientUnusable_.empty()) {
    const auto address = net::SocketAddress::parse(client_);
    reverse_ = std::make_unique<Reverse>();
    reverse_->name = net::dnsReverseName(*address);
    asker_.ask(reverse_->name, net::kDnsTypePTR,
               [this](DnsAsker::Result& r) { reverseAnswered(r); });
    for (const auto& zone : zones_) {
      Listing listing;
      listing.zone = zone;
      listing.name = net::dnsReverseName(*address, zone);
      listings_.push_back(std::move(listing));
    }
    for (std::size_t i = 0; i < listings_.size(); ++i) {
      asker_.ask(listings_[i].name, net::kDnsTypeA,
                 [this, i](DnsAsker::Result& r) { listingAnswered(i, r); });
    }
  }
  heloRowIfReady();
  blockListRowIfReady();
}

// ------------------------------------------------------- HELO and reverse DNS

void SelfCheck::heloResolved(const HostAddresses& found) {
  heloFound_ = found;
  heloRowIfReady();
}

void SelfCheck::reverseAnswered(DnsAsker::Result& r) {
  Reverse& rev = *reverse_;
  rev.done = true;
  if (r.end != DnsAsker::End::Answered) {
    rev.failure = "no answer from the DNS server";
  } else if (const net::TDnsResponse& answer = r.answer->Response();
             answer.ResponseCode != 0 && answer.ResponseCode != net::kDnsRcodeNameError) {
    rev.failure = "the DNS server answered with error code " + std::to_string(answer.ResponseCode);
  } else if (answer.ResponseCode == 0) {
    rev.names = recordsOf(answer, rev.name, net::kDnsTypePTR);
  }
  const bool namesHelo = std::any_of(rev.names.begin(), rev.names.end(), [&](const std::string& n) {
    return net::dnsNamesEqual(n, helo_);
  });
  if (!rev.names.empty() && !namesHelo) {
    // Whether the name it gives would do as HELO name: that is the advice.
    rev.forwardPending = true;
    nameAddresses_.resolve(rev.names.front(),
                           [this](const HostAddresses& found) { ptrNameResolved(found); });
  }
  heloRowIfReady();
}

void SelfCheck::ptrNameResolved(const HostAddresses& found) {
  reverse_->forwardPending = false;
  reverse_->forward = found;
  heloRowIfReady();
}

void SelfCheck::heloRowIfReady() {
  if (!running_ || slots_[kSlotHelo] || !heloFound_ || !settled_) return;
  if (reverse_ && (!reverse_->done || reverse_->forwardPending)) return;
  const HostAddresses& helo = *heloFound_;
  const bool heloKnown = helo.outcome == DnsOutcome::Answered;
  std::vector<std::string> found;
  bool wrong = false;   // something hosts hold against us
  bool unsure = false;  // something that could not be asked
  std::string advice(kHeloAdvice);
  if (heloLiteral_) {
    wrong = true;
    found.push_back("The HELO name " + helo_ + " is an address, not a name");
  } else if (heloKnown) {
    std::vector<std::string> all = helo.ipv6;
    all.insert(all.end(), helo.ipv4.begin(), helo.ipv4.end());
    found.push_back("The HELO name " + helo_ + " resolves to " + joined(all, ", "));
  } else if (helo.outcome == DnsOutcome::NoSuchDomain) {
    wrong = true;
    found.push_back("The HELO name " + helo_ + " does not resolve (it " + helo.why + ")");
  } else {
    unsure = true;
    found.push_back("The HELO name " + helo_ + " could not be looked up: the DNS server " +
                    dnsFailure(helo.outcome, helo.code, {}));
  }
  if (!reverse_) {
    unsure = true;
    found.push_back("the reverse DNS was not checked: " + clientUnusable_);
  } else {
    const std::string who = client_ + " (" + clientHow_ + ")";
    const Reverse& rev = *reverse_;
    const bool namesHelo =
        std::any_of(rev.names.begin(), rev.names.end(),
                    [&](const std::string& n) { return net::dnsNamesEqual(n, helo_); });
    if (!rev.failure.empty()) {
      unsure = true;
      found.push_back("the reverse DNS of " + who + " could not be looked up: " + rev.failure);
    } else if (rev.names.empty()) {
      wrong = true;
      found.push_back(who + " has no reverse DNS (PTR record)");
    } else if (namesHelo) {
      if (heloKnown && contains(helo, client_)) {
        found.push_back("the reverse DNS of " + who + " names " + helo_ +
                        ", which resolves back to it");
      } else if (heloKnown) {
        wrong = true;
        found.push_back("the reverse DNS of " + who + " names " + helo_ + ", but " + helo_ +
                        " does not resolve to " + client_);
      } else {
        found.push_back("the reverse DNS of " + who + " names " + helo_);
      }
    } else {
      wrong = true;
      const std::string& ptr = rev.names.front();
      found.push_back("the reverse DNS of " + who + " names " + ptr + ", not the HELO name " +
                      helo_);
      if (rev.forward && rev.forward->outcome == DnsOutcome::Answered &&
          contains(*rev.forward, client_)) {
        advice =
            "Many mail hosts refuse clients whose HELO name is not the name their address's "
            "reverse DNS gives: set the HELO name to " +
            ptr + " (Tools | Options, or --helo), which resolves back to " + client_;
      }
    }
  }
  if (!wrong)
    advice = reverse_ ? "Run the check again once the rows above are mended" : clientAdvice_;
  const bool good = !wrong && !unsure;
  put(kSlotHelo, {std::string(kCheckHelo), good ? CheckStatus::Green : CheckStatus::Amber,
                  joined(found, "; "), good ? std::string() : std::move(advice)});
}

// -------------------------------------------------------------- block lists

void SelfCheck::listingAnswered(std::size_t zone, DnsAsker::Result& r) {
  Listing& l = listings_[zone];
  if (r.end != DnsAsker::End::Answered) {
    l.state = Listing::State::Failed;
    l.answer = r.end == DnsAsker::End::NoAnswer ? "no answer" : "the question could not be sent";
  } else if (const net::TDnsResponse& answer = r.answer->Response();
             answer.ResponseCode == net::kDnsRcodeNameError) {
    l.state = Listing::State::NotListed;
  } else if (answer.ResponseCode != 0) {
    l.state = Listing::State::Failed;
    l.answer = "error code " + std::to_string(answer.ResponseCode);
  } else {
    const std::vector<std::string> codes = recordsOf(answer, l.name, net::kDnsTypeA);
    if (codes.empty()) {
      l.state = Listing::State::NotListed;
    } else {
      l.answer = joined(codes, ", ");
      // 127.255.255.x: the list refuses the question (it does not answer
      // public resolvers, or this one asked too often): no verdict on us.
      // An answer outside 127/8 comes from a resolver that rewrites
      // answers for names that do not exist, not from the list.
      const std::string& first = codes.front();
      if (first.rfind("127.255.255.", 0) == 0) {
        l.state = Listing::State::Refused;
      } else if (first.rfind("127.", 0) == 0) {
        l.state = Listing::State::Listed;
        l.reasonPending = true;
        asker_.ask(l.name, net::kDnsTypeTXT,
                   [this, zone](DnsAsker::Result& txt) { reasonAnswered(zone, txt); });
      } else {
        l.state = Listing::State::Odd;
      }
    }
  }
  blockListRowIfReady();
}

void SelfCheck::reasonAnswered(std::size_t zone, DnsAsker::Result& r) {
  Listing& l = listings_[zone];
  l.reasonPending = false;
  if (r.end == DnsAsker::End::Answered && r.answer->Response().ResponseCode == 0) {
    l.reason = shown(joined(recordsOf(r.answer->Response(), l.name, net::kDnsTypeTXT), " "));
  }
  blockListRowIfReady();
}

void SelfCheck::blockListRowIfReady() {
  if (!running_ || slots_.size() <= kSlotLists || slots_[kSlotLists] || !settled_) return;
  const std::string check(kCheckBlockLists);
  if (listings_.empty()) {
    put(kSlotLists, {check, CheckStatus::Amber, "Not checked: " + clientUnusable_, clientAdvice_});
    return;
  }
  for (const auto& l : listings_) {
    if (l.state == Listing::State::Asking || l.reasonPending) return;
  }
  std::vector<std::string> listed, clear, unsure;
  for (const auto& l : listings_) {
    switch (l.state) {
      case Listing::State::Listed:
        listed.push_back(l.zone + " (" + l.answer + (l.reason.empty() ? "" : ": " + l.reason) +
                         ")");
        break;
      case Listing::State::NotListed:
        clear.push_back(l.zone);
        break;
      case Listing::State::Refused:
        unsure.push_back(l.zone + " refused to answer (" + l.answer +
                         "): it does not answer questions through public DNS resolvers");
        break;
      case Listing::State::Odd:
        unsure.push_back(l.zone + " gave an answer that is not a listing (" + l.answer +
                         "): the DNS server may rewrite answers");
        break;
      default:
        unsure.push_back(l.zone + " could not be asked (" + l.answer + ")");
        break;
    }
  }
  const std::string who = client_ + " (" + clientHow_ + ")";
  std::vector<std::string> found;
  CheckRow row{check, CheckStatus::Green, {}, {}};
  if (!listed.empty()) {
    found.push_back(who + " is listed on " + joined(listed, "; "));
    if (!clear.empty()) found.push_back("not on " + joined(clear, ", "));
    row.status = CheckStatus::Red;
    row.advice =
        "Mail hosts that use these lists refuse this address: ask the list for removal (its "
        "reason says how), or validate from another network or through a SOCKS5 proxy";
  } else if (!clear.empty()) {
    found.push_back(who + " is on none of " + joined(clear, ", "));
  } else {
    found.push_back(who + " could not be looked up");
  }
  if (!unsure.empty()) {
    found.push_back(joined(unsure, "; "));
    if (row.status == CheckStatus::Green) {
      row.status = CheckStatus::Amber;
      row.advice =
          "Ask the lists through another DNS server (your provider's, or one of your own), or "
          "look the address up on the lists' web sites";
    }
  }
  row.found = joined(found, "; ");
  put(kSlotLists, std::move(row));
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
