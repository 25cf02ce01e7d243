#include "engine/DnsAsker.h"

#include <algorithm>
#include <exception>

#include "engine/DnsServerList.h"
#include "net/DnsQuery.h"

namespace orvane::engine {

struct DnsAsker::Question {
  explicit Question(net::EventLoop& loop) : resend(loop) {}
  Ticket ticket = 0;
  std::string name;
  std::uint16_t type = 0;
  Done done;
  std::unique_ptr<net::TDnsQuery> dns;
  net::Timer resend;
  std::size_t serverIndex = 0;
  std::uint64_t resendAfterMs = 0;
  std::uint32_t deadline = 0;  // loop time
  std::string server;
  TransactionLog lines;
  std::string notSent;
};

DnsAsker::DnsAsker(net::EventLoop& loop) : loop_(loop) {}

DnsAsker::~DnsAsker() {
  cancelAll();
}

void DnsAsker::reset(std::vector<std::string> servers, std::uint64_t retryMs,
                     std::uint32_t giveUpMs) {
  cancelAll();
  servers_ = std::move(servers);
  retryMs_ = retryMs == 0 ? kRetryMs : retryMs;
  giveUpMs_ = giveUpMs;
  queriesSent_ = 0;
}

void DnsAsker::cancelAll() {
  for (auto& [ticket, q] : asking_) {
    q->resend.stop();
    q->dns->OnRequestDone = nullptr;
  }
  asking_.clear();
}

void DnsAsker::cancel(Ticket ticket) {
  const auto it = asking_.find(ticket);
  if (it == asking_.end()) return;
  it->second->resend.stop();
  it->second->dns->OnRequestDone = nullptr;
  spare_.push_back(std::move(it->second->dns));
  asking_.erase(it);
}

DnsAsker::Ticket DnsAsker::ask(const std::string& name, std::uint16_t type, Done done) {
  auto owned = std::make_unique<Question>(loop_);
  Question& q = *owned;
  q.ticket = ++nextTicket_;
  q.name = name;
  q.type = type;
  q.done = std::move(done);
  q.resendAfterMs = retryMs_;
  q.deadline = loop_.now() + giveUpMs_;
  if (!spare_.empty()) {
    q.dns = std::move(spare_.back());
    spare_.pop_back();
  } else {
    q.dns = std::make_unique<net::TDnsQuery>(loop_);
  }
  q.dns->OnRequestDone = [this, &q](net::TDnsQuery& dns, std::uint16_t error) {
    q.resend.stop();
    Result r;
    r.end = error == 0 ? End::Answered : End::Failed;
    r.error = error;
    r.answer = error == 0 ? &dns : nullptr;
    finish(q.ticket, std::move(r));
  };
  asking_.emplace(q.ticket, std::move(owned));
  if (!send(q)) {
    // Reported from the loop like any other end of a question.
    loop_.post(std::weak_ptr<void>(alive_), [this, ticket = q.ticket] {
      Result r;
      r.end = End::NotSent;
      finish(ticket, std::move(r));
    });
  }
  return q.ticket;
}

bool DnsAsker::send(Question& q) {
  q.server = servers_.empty() ? std::string() : servers_[q.serverIndex % servers_.size()];
  q.lines.push_back("Trying DNS Server \"" + q.server + "\"");
  q.lines.emplace_back("Sending DNS Request");
  try {
    const DnsServerAddress address = parseDnsServerEntry(q.server);
    q.dns->setAddr(address.host);
    q.dns->setPort(address.port);
    q.dns->Lookup(q.name, q.type);
    ++queriesSent_;
  } catch (const std::exception& e) {
    q.notSent = e.what();
    q.lines.push_back("DNS request not sent: " + q.notSent);
    return false;
  }
  const auto left = static_cast<std::int32_t>(q.deadline - loop_.now());
  const std::uint64_t wait =
      std::min<std::uint64_t>(q.resendAfterMs, left > 0 ? static_cast<std::uint64_t>(left) : 0);
  q.resend.start(wait, 0, [this, &q] { resend(q); });
  return true;
}

void DnsAsker::resend(Question& q) {
  q.lines.push_back("No answer from DNS Server \"" + q.server + "\"");
  if (net::EventLoop::tickDue(loop_.now(), q.deadline)) {
    q.lines.push_back("DNS server \"" + q.server + "\" did not answer");
    Result r;
    r.end = End::NoAnswer;
    finish(q.ticket, std::move(r));
    return;
  }
  // A fresh query (new ID, new source port), to the other server when there
  // are two, after twice the wait.
  const std::size_t servers = std::clamp<std::size_t>(servers_.size(), 1, 2);
  q.serverIndex = (q.serverIndex + 1) % servers;
  q.resendAfterMs *= 2;
  if (send(q)) return;
  Result r;
  r.end = End::NotSent;
  finish(q.ticket, std::move(r));
}

void DnsAsker::finish(Ticket ticket, Result result) {
  const auto it = asking_.find(ticket);
  if (it == asking_.end()) return;
  std::unique_ptr<Question> q = std::move(it->second);
  asking_.erase(it);
  q->resend.stop();
  q->dns->OnRequestDone = nullptr;
  result.server = q->server;
  result.lines = std::move(q->lines);
  result.notSent = q->notSent;
  // `done` may ask again or cancel others; the query component is returned
  // for reuse afterwards (its answer is read during the call).
  q->done(result);
  spare_.push_back(std::move(q->dns));
}

}  // namespace orvane::engine
