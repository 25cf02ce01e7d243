// A validation run over a project's recipient list, independent of any
// window: Start Validation's checks and steps, the scheduler's events turned
// into changes of the entries and counters, and Stop. The main window and the
// command line connect to it; it owns the project's scheduler.
//
// Ownership: owns its TSmtpRelayServer; references the RecipientList, which
// must outlive it. Entries must not be added, removed or reordered while a run
// is active (the queue holds their positions).
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
#include "engine/SmtpRelayServer.h"
#include "net/EventLoop.h"

namespace orvane::engine {

inline constexpr std::string_view kEmptyRecipientList =
    "Please open / fill the recipient list before";
inline constexpr std::string_view kNothingToCheck = "Nothing to check";

// The local time of day `delayMs` from now, "HH:MM:SS".
std::string LocalTimeOfDayIn(std::uint64_t delayMs);

class ProjectRun final {
 public:
  ProjectRun(net::EventLoop& loop, RecipientList& list);
  ProjectRun(const ProjectRun&) = delete;
  ProjectRun& operator=(const ProjectRun&) = delete;

  // Start Validation (throws TSmtpRelayServerException("Component is busy")
  // while Running()):
  // 1. an empty list throws RunStartError("Please open / fill the recipient
  //    list before");
  // 2. ConfigureEngine(settings) (its errors stop here);
  // 3. checks ExtractAddress(e-mail) of every checked entry in list order,
  //    read as the run reaches it (tagged with the entry's position); none
  //    checked: RunStartError("Nothing to check");
  // 4. run start on the list (counters 0, start time), modified flag set,
  //    OnRunStarted;
  // 5. StartCheck. When it throws, the finished steps run (OnRunFinished with
  //    aborted false) and the exception is passed on.
  void Start(const EngineSettings& settings);
  // Stop: AbortRun; every address in hand is reported with -8 and the run
  // finishes.
  void Stop();
  // True from a successful Start until OnRunFinished.
  bool Running() const noexcept { return running_; }

  TSmtpRelayServer& Scheduler() noexcept { return server_; }
  RecipientList& List() noexcept { return list_; }
  // An address in hand -> its entry's position.
  std::size_t EntryOf(int recipientIndex) const;

  // For the window and the command line (all optional):
  std::function<void()> OnRunStarted;
  std::function<void(std::size_t entry)> OnEntryTaken;
  // After the entry was updated: its result (code, verdict, the message of
  // its result text); `log` is the session's, valid during the call.
  std::function<void(std::size_t entry, const AddressResult& result, const TransactionLog& log)>
      OnEntryEnded;
  // The entry waits to be tried again (greylisting) until `untilText` (the
  // local time of day, "HH:MM:SS"); its result text says so meanwhile.
  std::function<void(std::size_t entry, const std::string& untilText)> OnEntryWaiting;
  std::function<void(bool aborted)> OnRunFinished;

 private:
  void Finished(bool aborted);

  RecipientList& list_;
  TSmtpRelayServer server_;
  bool running_ = false;
};

}  // namespace orvane::engine
