#include "engine/Validation.h"

#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/ResourceLimits.h"

namespace orvane::engine {

Validation::Validation(net::EventLoop& loop) : server_(loop) {
  server_.setInternalDns(kInternalDnsServer);
  server_.onTaken = [this](const TakenAddress& address) {
    if (onTaken) onTaken(address.tag);
  };
  server_.onWaiting = [this](const TakenAddress& address, std::uint64_t delayMs) {
    if (onWaiting) onWaiting(address.tag, delayMs);
  };
  server_.onResult = [this](ValidationResult& result) {
    if (onResult) onResult(result);
  };
  server_.OnFinished = [this](TSmtpRelayServer&, bool aborted) {
    running_ = false;
    if (onFinished) onFinished(aborted);
  };
}

void Validation::configure(const EngineSettings& settings) {
  // A run that has not reported its finish yet keeps its addresses.
  if (running_ || server_.busy()) throw TSmtpRelayServerException(std::string(kComponentBusy));
  // More sessions than open files would fail addresses by the thousand.
  const std::uint64_t limit = descriptorLimit_ != 0 ? descriptorLimit_ : raiseDescriptorLimit();
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
