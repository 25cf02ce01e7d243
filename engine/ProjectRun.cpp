#include "engine/ProjectRun.h"

#include <algorithm>
#include <ctime>

namespace orvane::engine {

std::string localTimeOfDayIn(std::uint64_t delayMs) {
  const std::time_t when = std::time(nullptr) + static_cast<std::time_t>((delayMs + 999) / 1000);
  std::tm local{};
  localtime_r(&when, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

ProjectRun::ProjectRun(net::EventLoop& loop, RecipientList& list) : list_(list), validation_(loop) {
  validation_.onTaken = [this](std::int64_t tag) {
    const auto entry = static_cast<std::size_t>(tag);
    list_.entryTakenForChecking(entry);
    if (onEntryTaken) onEntryTaken(entry);
  };
  validation_.onResult = [this](ValidationResult& result) {
    const auto entry = static_cast<std::size_t>(result.tag);
    list_.entryValidationEnded(entry, result.result.code, result.result.message, result.log);
    if (onEntryEnded) onEntryEnded(entry, result);
  };
  validation_.onWaiting = [this](std::int64_t tag, std::uint64_t delayMs) {
    const auto entry = static_cast<std::size_t>(tag);
    const std::string until = localTimeOfDayIn(delayMs);
    list_.entryWaiting(entry, "Refused for now; trying again at " + until);
    if (onEntryWaiting) onEntryWaiting(entry, until);
  };
  validation_.onFinished = [this](bool aborted) { finished(aborted); };
}

void ProjectRun::Start(const EngineSettings& settings) {
  // A run that has not reported its finish yet keeps its entries.
  if (running_) throw TSmtpRelayServerException(std::string(kComponentBusy));
  if (list_.count() == 0) throw RunStartError(std::string(kEmptyRecipientList));
  validation_.configure(settings);
  const auto& entries = list_.entries();
  if (std::none_of(entries.begin(), entries.end(),
                   [](const Entry& e) { return e.checkState == 1; })) {
    throw RunStartError(std::string(kNothingToCheck));
  }
  list_.runStarted();
  list_.setModified(true);
  running_ = true;
  if (onRunStarted) onRunStarted();
  try {
    // The checked entries, read as the run reaches them: the run keeps no
    // copy of the list. Entries are neither added nor removed while it lasts.
    validation_.start([this, next = std::size_t{0}](FeedLine& line) mutable {
      while (next < list_.count()) {
        const std::size_t position = next++;
        const Entry& entry = list_.entry(position);
        if (entry.checkState != 1 || (entryFilter && !entryFilter(entry))) continue;
        line.given = entry.email();
        line.tag = static_cast<std::int64_t>(position);
        return SourceAnswer::Address;
      }
      return SourceAnswer::End;
    });
  } catch (...) {
    finished(false);
    throw;
  }
}

void ProjectRun::stop() {
  validation_.stop();
}

void ProjectRun::finished(bool aborted) {
  running_ = false;
  list_.runFinished();
  if (onRunFinished) onRunFinished(aborted);
}

}  // namespace orvane::engine
