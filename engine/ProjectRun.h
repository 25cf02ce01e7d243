// A validation run over a project's recipient list, independent of any
// window: Start Validation's checks and steps, each result filed into its
// entry and the counters, and Stop. The main window and `orvane-cli run`
// connect to it; it runs through the one Validation facade.
//
// Ownership: owns its Validation; references the RecipientList, which must
// outlive it. Entries must not be added, removed or reordered while a run
// is active (the run tags each address with its entry's position).
//
// Thread: the one event-loop thread; callbacks are raised on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/RecipientList.h"
#include "engine/ConfigureEngine.h"
#include "engine/Outcome.h"
#include "engine/Validation.h"
#include "net/EventLoop.h"

namespace orvane::engine {

inline constexpr std::string_view kEmptyRecipientList =
    "Please open / fill the recipient list before";
inline constexpr std::string_view kNothingToCheck = "Nothing to check";

// The local time of day `delayMs` from now, "HH:MM:SS".
std::string localTimeOfDayIn(std::uint64_t delayMs);

class ProjectRun final {
 public:
  ProjectRun(net::EventLoop& loop, RecipientList& list);
  ProjectRun(const ProjectRun&) = delete;
  ProjectRun& operator=(const ProjectRun&) = delete;

  // Start Validation (throws TSmtpRelayServerException("Component is busy")
  // while running()):
  // 1. an empty list throws RunStartError("Please open / fill the recipient
  //    list before");
  // 2. the run is configured from `settings` (its errors stop here);
  // 3. no entry checked: RunStartError("Nothing to check");
  // 4. run start on the list (counters 0, start time), modified flag set,
  //    onRunStarted;
  // 5. the run starts over the checked entries in list order, each read as
  //    the run reaches it (tagged with the entry's position). When it cannot
  //    start (no DNS server), the finished steps run
  //    (onRunFinished with aborted false) and the exception is passed on.
  void Start(const EngineSettings& settings);
  // Stop: every address in hand is reported with -8 and the run finishes.
  void stop();
  // True from a successful Start until onRunFinished.
  bool running() const noexcept { return running_; }

  Validation& validation() noexcept { return validation_; }
  TSmtpRelayServer& scheduler() noexcept { return validation_.scheduler(); }
  RecipientList& list() noexcept { return list_; }

  // For the window and the command line (all optional):
  std::function<void()> onRunStarted;
  std::function<void(std::size_t entry)> onEntryTaken;
  // After the entry was updated: its result, with the entry's text as given
  // and the address checked.
  std::function<void(std::size_t entry, const ValidationResult& result)> onEntryEnded;
  // The entry waits to be tried again (greylisting) until `untilText` (the
  // local time of day, "HH:MM:SS"); its result text says so meanwhile.
  std::function<void(std::size_t entry, const std::string& untilText)> onEntryWaiting;
  std::function<void(bool aborted)> onRunFinished;
  // When set, only the checked entries it accepts are validated (the others
  // keep what they had).
  std::function<bool(const Entry& entry)> entryFilter;

 private:
  void finished(bool aborted);

  RecipientList& list_;
  Validation validation_;
  bool running_ = false;
};

}  // namespace orvane::engine
