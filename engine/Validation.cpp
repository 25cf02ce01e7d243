#include "engine/Validation.h"

#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/ResourceLimits.h"
#include "engine/ResultMessages.h"

namespace orvane::engine {

std::string connectionTroubleNote(std::size_t addresses) {
  return "The first " + std::to_string(addresses) + (addresses == 1 ? " address" : " addresses") +
         " ended unknown for connection time-outs or refusals of this machine: something is "
         "wrong with this machine's connection (port 25 blocked, an address on a block list, a "
         "filtered network). Run the connection self-check: Tools | Check Connection, or "
         "orvane-cli doctor.";
}

Validation::Validation(net::EventLoop& loop) : server_(loop) {
  server_.setInternalDns(kInternalDnsServer);
  server_.onTaken = [this](const TakenAddress& address) {
    if (onTaken) onTaken(address.tag);
  };
  server_.onWaiting = [this](const TakenAddress& address, std::uint64_t delayMs) {
    if (onWaiting) onWaiting(address.tag, delayMs);
  };
  server_.onResult = [this](ValidationResult& result) {
    sample(result.result);
    addInsight(result);
    if (onResult) onResult(result);
  };
  server_.onHostLimit = [this](const HostSlots::Change& change) {
    if (onHostLimit) onHostLimit(change);
  };
  server_.OnFinished = [this](TSmtpRelayServer&, bool aborted) {
    running_ = false;
    // A short run whose every result points at this machine says so too.
    if (!troubleSaid_ && sampled_ > 0 && allOurSide_ && onConnectionTrouble) {
      troubleSaid_ = true;
      onConnectionTrouble(connectionTroubleNote(sampled_));
    }
    if (onFinished) onFinished(aborted);
  };
}

void Validation::addInsight(ValidationResult& result) {
  if (flags_.has(AddressFlag::Extracted) && holdsMoreThanAddress(result.given)) {
    result.flags.set(AddressFlag::Extracted);
  }
  if (insight_ == nullptr) return;
  const std::string& checked = result.checked;
  const auto at = checked.rfind('@');
  if (at == std::string::npos) return;
  const std::string_view domain = std::string_view(checked).substr(at + 1);
  result.flags =
      result.flags | (insight_->flags(std::string_view(checked).substr(0, at), domain) & flags_);
  if (result.result.domainDns == DomainDns::HasMailHosts) tally_.add(domain);
  result.suggestion = insight_->suggestion(domain, result.result.domainDns, tally_);
}

void Validation::sample(const AddressResult& result) {
  // A stopped address says nothing about the connection.
  if (troubleSaid_ || sampled_ >= kTroubleSample || result.code == kResultAborted) return;
  ++sampled_;
  allOurSide_ = allOurSide_ && result.ourSide;
  if (!allOurSide_) sampled_ = kTroubleSample;
  if (sampled_ == kTroubleSample && allOurSide_ && onConnectionTrouble) {
    troubleSaid_ = true;
    onConnectionTrouble(connectionTroubleNote(sampled_));
  }
}

void Validation::configure(const EngineSettings& settings) {
  // A run that has not reported its finish yet keeps its addresses.
  if (running_ || server_.busy()) throw TSmtpRelayServerException(std::string(kComponentBusy));
  // More sessions than open files would fail addresses by the thousand.
  const std::uint64_t limit = descriptorLimit_ != 0 ? descriptorLimit_ : raiseDescriptorLimit();
  flags_ = settings.flags;
  EngineSettings fitted = settings;
  fitted.connections = connectionsThatFit(settings.connections, limit);
  ConfigureEngine(server_, fitted);
  if (fitted.connections < settings.connections && onConnectionsLowered) {
    onConnectionsLowered(settings.connections, fitted.connections, limit);
  }
}

void Validation::start(Source source) {
  if (running_ || server_.busy()) throw TSmtpRelayServerException(std::string(kComponentBusy));
  server_.setSource([source = std::move(source)](FeedLine& line) {
    const SourceAnswer answer = source(line);
    if (answer == SourceAnswer::Address) {
      line.text = ExtractAddress(line.given);
      // One copy is enough when the entry is the bare address.
      if (line.text == line.given) line.given.clear();
    }
    return answer;
  });
  running_ = true;
  sampled_ = 0;
  tally_.clear();
  allOurSide_ = true;
  troubleSaid_ = false;
  try {
    server_.StartCheck();
  } catch (...) {
    running_ = false;
    throw;
  }
}

void Validation::more() {
  server_.sourceReady();
}

void Validation::stop() {
  if (server_.busy()) server_.AbortRun();
}

}  // namespace orvane::engine
