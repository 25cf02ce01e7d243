#include "engine/ProjectRun.h"

#include <algorithm>
#include <ctime>

#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/ResultMessages.h"

namespace orvane::engine {

std::string localTimeOfDayIn(std::uint64_t delayMs) {
  const std::time_t when = std::time(nullptr) + static_cast<std::time_t>((delayMs + 999) / 1000);
  std::tm local{};
  localtime_r(&when, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

ProjectRun::ProjectRun(net::EventLoop& loop, RecipientList& list) : list_(list), server_(loop) {
  server_.setInternalDns(kInternalDnsServer);
  server_.OnGetData = [this](TSmtpRelayServer&, int recipientIndex) {
    const std::size_t entry = entryOf(recipientIndex);
    list_.entryTakenForChecking(entry);
    if (onEntryTaken) onEntryTaken(entry);
  };
  server_.OnEMailProcessed = [this](TSmtpRelayServer& sender, int recipientIndex, std::int32_t,
                                    const TransactionLog& log) {
    const std::size_t entry = entryOf(recipientIndex);
    const AddressResult& result = sender.lastResult();
    list_.entryValidationEnded(entry, result.code, result.message, log);
    if (onEntryEnded) onEntryEnded(entry, result, log);
  };
  server_.onAddressWaiting = [this](TSmtpRelayServer&, int recipientIndex, std::uint64_t delayMs) {
    const std::size_t entry = entryOf(recipientIndex);
    const std::string until = localTimeOfDayIn(delayMs);
    list_.entryWaiting(entry, "Refused for now; trying again at " + until);
    if (onEntryWaiting) onEntryWaiting(entry, until);
  };
  server_.OnFinished = [this](TSmtpRelayServer&, bool aborted) { finished(aborted); };
}

std::size_t ProjectRun::entryOf(int recipientIndex) const {
  return static_cast<std::size_t>(server_.Tag(recipientIndex));
}

void ProjectRun::Start(const EngineSettings& settings) {
  // A run that has not reported its finish yet keeps its queue.
  if (running_) throw TSmtpRelayServerException(std::string(kComponentBusy));
  if (list_.count() == 0) throw RunStartError(std::string(kEmptyRecipientList));
  ConfigureEngine(server_, settings);
  const auto& entries = list_.entries();
  if (std::none_of(entries.begin(), entries.end(),
                   [](const Entry& e) { return e.checkState == 1; })) {
    throw RunStartError(std::string(kNothingToCheck));
  }
  // The checked entries, read as the run reaches them: the run keeps no copy
  // of the list. Entries are neither added nor removed while it lasts.
  server_.setSource([this, next = std::size_t{0}](FeedLine& line) mutable {
    while (next < list_.count()) {
      const std::size_t position = next++;
      const Entry& entry = list_.entry(position);
      if (entry.checkState != 1) continue;
      line.text = ExtractAddress(entry.email());
      line.tag = static_cast<std::int64_t>(position);
      return true;
    }
    return false;
  });
  list_.runStarted();
  list_.setModified(true);
  running_ = true;
  if (onRunStarted) onRunStarted();
  try {
    server_.StartCheck();
  } catch (...) {
    finished(false);
    throw;
  }
}

void ProjectRun::stop() {
  server_.AbortRun();
}

void ProjectRun::finished(bool aborted) {
  running_ = false;
  list_.runFinished();
  if (onRunFinished) onRunFinished(aborted);
}

}  // namespace orvane::engine
