// One validation run as every front end starts it (the window's project run,
// the clipboard window, `orvane-cli check` and `run`): the options in, the
// addresses from a source, each result out as a value.
//
// The source hands out the entries' texts one at a time, or says that none is
// at hand yet, or that there are no more. The address checked is the one cut
// out of the text (ExtractAddress); results name both. A source that says
// "none yet" keeps the run alive with what it has, caches included; the
// owner calls more() when it has more (or has ended). The run finishes once
// the source has ended and every address has its result.
//
// Before it starts, the run lowers the connections to what the process's
// open-file limit can hold, and says so through onConnectionsLowered. When the
// first kTroubleSample results (or all, when the run has fewer) are unknown
// for causes that lie with this machine (connections that time out or are
// refused, refusals by policy or before the address was asked), the run says
// once, through onConnectionTrouble, that something is wrong with this
// machine's connection.
//
// Ownership: owns its scheduler. The EventLoop must outlive it. Event-loop
// thread; every event is raised on it, never inside start() except results of
// addresses that end at once (not an address) and onConnectionsLowered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/AddressInsight.h"
#include "engine/ConfigureEngine.h"
#include "engine/Outcome.h"
#include "engine/SmtpRelayServer.h"

namespace orvane::engine {

// What onConnectionTrouble's front ends say (with the number of addresses).
std::string connectionTroubleNote(std::size_t addresses);

class Validation final {
 public:
  static constexpr std::size_t kTroubleSample = 20;

  // Fills `line.given` (the entry's text) and `line.tag` (the owner's).
  using Source = std::function<SourceAnswer(FeedLine& line)>;

  explicit Validation(net::EventLoop& loop);
  Validation(const Validation&) = delete;
  Validation& operator=(const Validation&) = delete;

  // Configures the next run from `settings` (ConfigureEngine: RunStartError
  // for a sender that cannot be used) and fits its connections to the
  // open-file limit. Throws TSmtpRelayServerException("Component is busy")
  // while running().
  void configure(const EngineSettings& settings);
  // Starts the configured run over `source`. Throws TSmtpRelayServerException
  // ("Component is busy" while running(), "No DNS SERVER Available");
  // nothing has been reported then, and running() is false.
  void start(Source source);
  // configure, then start.
  void start(const EngineSettings& settings, Source source) {
    configure(settings);
    start(std::move(source));
  }
  // The source has more addresses, or has ended, after it said "none yet".
  void more();
  // Stops the run: every address in hand is reported with -8.
  void stop();
  // True from a successful start until onFinished.
  bool running() const noexcept { return running_; }

  // Flags and suggestions for each result (none without; borrowed, must
  // outlive the run). The run counts the domains with mail hosts it meets, so
  // that a domain common in the list can be suggested.
  void setInsight(const AddressInsight* insight) noexcept { insight_ = insight; }
  // The open-file limit the connections are fitted to (0: the process's own,
  // raised to its hard limit).
  void setDescriptorLimit(std::uint64_t limit) noexcept { descriptorLimit_ = limit; }
  // The scheduler, for the seams a test points at its own servers and for
  // the run's figures.
  TSmtpRelayServer& scheduler() noexcept { return server_; }

  std::function<void(std::int64_t tag)> onTaken;
  // Refused for now; its retry comes in `delayMs`.
  std::function<void(std::int64_t tag, std::uint64_t delayMs)> onWaiting;
  // The result may be taken over (its texts and log moved out).
  std::function<void(ValidationResult& result)> onResult;
  std::function<void(bool aborted)> onFinished;
  std::function<void(int asked, int used, std::uint64_t limit)> onConnectionsLowered;
  std::function<void(const std::string& note)> onConnectionTrouble;
  // A mail host's connection limit was lowered or restored.
  std::function<void(const HostSlots::Change& change)> onHostLimit;

 private:
  void sample(const AddressResult& result);
  void addInsight(ValidationResult& result);

  TSmtpRelayServer server_;
  std::uint64_t descriptorLimit_ = 0;
  const AddressInsight* insight_ = nullptr;
  AddressFlags flags_ = AddressFlags::all();  // the flags to compute
  DomainTally tally_;
  bool running_ = false;
  // The first results of the run, for the connection trouble note.
  std::size_t sampled_ = 0;
  bool allOurSide_ = true;
  bool troubleSaid_ = false;
};

}  // namespace orvane::engine
