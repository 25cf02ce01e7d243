#include <gtest/gtest.h>

#include <string>

#include "core/Verdict.h"
#include "engine/AddressSyntax.h"
#include "engine/Outcome.h"
#include "engine/ResultMessages.h"

namespace orvane::engine {
namespace {

TEST(Verdict, EveryOutcomeGetsItsVerdictAndAMessageThatKeepsIt) {
  struct Case {
    const char* what;
    Outcome outcome;
    Verdict verdict;
    const char* message;  // nullptr: not checked here
  };
  const auto at = [](std::int32_t code, Step step, const char* reply = "") {
    Outcome o;
    o.code = code;
    o.step = step;
    o.reply = reply;
    o.dnsServer = "192.0.2.53";
    return o;
  };
  const auto rcpt = [&](std::int32_t code, const char* reply) {
    return at(code, Step::RcptTo, reply);
  };
  const auto dns = [&](DnsOutcome what) {
    Outcome o = at(kResultNoMailHost, Step::Dns);
    o.dns = what;
    return o;
  };
  Outcome catchAll;
  catchAll.catchAll = true;
  Outcome syntax = at(kResultNoMailHost, Step::Syntax);
  syntax.detail = "no \"@\"";
  const Outcome dnsSilent = at(kResultTimeOut, Step::Dns);
  Outcome closedPort = dns(DnsOutcome::Unreachable);
  closedPort.dnsCode = 10061;
  Outcome noRoute = closedPort;
  noRoute.dnsCode = 10051;
  const Case cases[] = {
      {"accepted", at(0, Step::Closing), Verdict::Valid, "Valid E-mail Address!"},
      {"accepted, catch-all domain", catchAll, Verdict::CatchAll, nullptr},
      {"5.1.1", rcpt(550, "550 5.1.1 <x@y>: Recipient address rejected: User unknown"),
       Verdict::Invalid, "Mailbox unavailable"},
      {"5.1.1 with another code", rcpt(554, "554 5.1.1 no such user"), Verdict::Invalid, nullptr},
      {"5.2.1 mailbox disabled", rcpt(552, "552 5.2.1 disabled"), Verdict::Invalid, nullptr},
      {"550 without enhanced code", rcpt(550, "550 no such user here"), Verdict::Invalid,
       "Mailbox unavailable"},
      {"551", rcpt(551, "551 user not local"), Verdict::Invalid, "User not local"},
      {"our sender refused at RCPT TO",
       rcpt(553, "553 5.7.1 <me@origin.test>: Sender address rejected"), Verdict::Unknown, nullptr},
      {"block list without enhanced code", rcpt(550, "550 Blocked by a block list"),
       Verdict::Unknown, nullptr},
      {"client refused", rcpt(550, "550 5.7.1 Client host rejected"), Verdict::Unknown, nullptr},
      // Plain refusals that name us rather than the recipient.
      {"our sender, plain", rcpt(550, "550 Sender verify failed"), Verdict::Unknown, nullptr},
      {"our client, plain", rcpt(550, "550 Client host has no reverse name"), Verdict::Unknown,
       nullptr},
      {"relaying, plain", rcpt(553, "553 we do not relay for you"), Verdict::Unknown, nullptr},
      {"our IP, plain", rcpt(550, "550 Your IP 192.0.2.1 is not welcome"), Verdict::Unknown,
       nullptr},
      {"mailbox full", rcpt(552, "552 5.2.2 mailbox full"), Verdict::Unknown, "Mailbox full"},
      {"mailbox full for now: not greylisting", rcpt(452, "452 4.2.2 over quota"), Verdict::Unknown,
       "Mailbox full"},
      {"mailbox full, plain", rcpt(552, "552 too much mail"), Verdict::Unknown,
       "Exceeded storage allocation. Try later"},
      {"554 without enhanced code", rcpt(554, "554 rejected"), Verdict::Unknown, nullptr},
      {"a reply code without a text of its own", rcpt(500, "500 syntax error"), Verdict::Unknown,
       "Recipient's  SMTP server returned error 500"},
      {"greylisting", rcpt(450, "450 4.7.1 try again later"), Verdict::Unknown, nullptr},
      {"sender refused at MAIL FROM", at(550, Step::MailFrom), Verdict::Unknown, nullptr},
      {"greeting refused", at(554, Step::Connect), Verdict::Unknown, nullptr},
      {"not an address", syntax, Verdict::Invalid, "Not an e-mail address: no \"@\""},
      {"no such domain", dns(DnsOutcome::NoSuchDomain), Verdict::Invalid,
       "Failed: Invalid Domain Name"},
      {"null MX", dns(DnsOutcome::NullMx), Verdict::Invalid, nullptr},
      {"mail host name does not exist", at(11001, Step::Connect), Verdict::Invalid, nullptr},
      {"SERVFAIL", dns(DnsOutcome::ServerFailure), Verdict::Unknown,
       "DNS server 192.0.2.53 could not answer for this domain (SERVFAIL)"},
      {"REFUSED", dns(DnsOutcome::ServerRefused), Verdict::Unknown, nullptr},
      {"closed DNS port", closedPort, Verdict::Unknown,
       "DNS server 192.0.2.53 cannot be reached (its port is closed)"},
      {"no route to the DNS server", noRoute, Verdict::Unknown,
       "DNS server 192.0.2.53 cannot be reached (no route)"},
      {"unreadable answer", dns(DnsOutcome::Malformed), Verdict::Unknown, nullptr},
      {"silent DNS server", dnsSilent, Verdict::Unknown,
       "Time Out: DNS server 192.0.2.53 didn't respond"},
      {"silent mail server", at(kResultTimeOut, Step::Connect), Verdict::Unknown,
       "Time Out: Recipient's SMTP Server didn't respond"},
      {"connection refused", at(10061, Step::Connect), Verdict::Unknown, nullptr},
      {"stopped", at(kResultAborted, Step::RcptTo), Verdict::Unknown, "Aborted by user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Classification got = classify(c.outcome);
    EXPECT_EQ(got.verdict, c.verdict);
    EXPECT_TRUE(!c.message || got.message == c.message) << got.message;
    // A project reloaded from its file derives the same verdict from the text.
    const std::string text = "[" + std::to_string(c.outcome.code) + "] " + got.message;
    EXPECT_EQ(verdictOfResultText(text), c.verdict) << text;
    // Refusals that prove nothing never read like a missing mailbox.
    EXPECT_FALSE(c.verdict == Verdict::Unknown && got.message == "Mailbox unavailable");
  }
  EXPECT_EQ(verdictOfResultText("Checking..."), Verdict::None);
  EXPECT_EQ(verdictOfResultText(""), Verdict::None);
}

TEST(Verdict, EnhancedStatusCodesAreReadOnlyWhereTheyStand) {
  using Code = std::array<int, 3>;
  EXPECT_EQ(enhancedStatusCode("550 5.1.1 no"), (Code{5, 1, 1}));
  EXPECT_EQ(enhancedStatusCode("550-5.7.26 multi"), (Code{5, 7, 26}));
  EXPECT_EQ(enhancedStatusCode("250 2.1.5"), (Code{2, 1, 5}));
  for (const char* none : {"550 no such user", "550 5.1", "550 15.1.1 x", "550 5.1.1x", "550"}) {
    EXPECT_FALSE(enhancedStatusCode(none).has_value()) << none;
  }
}

TEST(AddressSyntax, AddressesGoOutAsTheyStandOrNotAtAll) {
  using S = PreparedAddress::Status;
  const std::string longLocal(65, 'a');
  const std::string longDomain = "a@" + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                 std::string(63, 'd') + "." + std::string(63, 'e') + ".test";
  struct Case {
    std::string text;
    S status;
    std::string sent;
  };
  const Case cases[] = {
      {"a+tag@b.test", S::Ready, "a+tag@b.test"},
      {"user@b\u00FCcher.example", S::Ready, "user@xn--bcher-kva.example"},
      {"\"ann smith\"@x.test", S::Ready, "\"ann smith\"@x.test"},
      {"\xc3\xbcser@example.org", S::NotSendable, ""},
      {"no-at-sign", S::NotAddress, ""},
      {"@x.test", S::NotAddress, ""},
      {"a b@x.test", S::NotAddress, ""},
      {"a@x..test", S::NotAddress, ""},
      {"a@b\xff.test", S::NotAddress, ""},
      {longLocal + "@x.test", S::NotAddress, ""},
      {longDomain, S::NotAddress, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const PreparedAddress p = prepareAddress(c.text);
    EXPECT_EQ(p.status, c.status) << p.reason;
    if (c.status == S::Ready) {
      EXPECT_EQ(p.address, c.sent);
    } else {
      EXPECT_FALSE(p.reason.empty());
    }
  }
}

}  // namespace
}  // namespace orvane::engine
