// A scheduler wired to scripted DNS and SMTP servers on 127.0.0.x, recording
// every event it raises. Mail hosts are dotted loopback addresses (no name
// lookups), all on the SMTP port of the first server. The engine's timers run
// on a manual clock: a test moves time (clock.advance) instead of waiting;
// network traffic runs when the loop runs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/SmtpRelayServer.h"
#include "net/EventLoop.h"
#include "net/ManualClock.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"

namespace orvane::testing {

inline bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
inline std::size_t countStartingWith(const std::vector<std::string>& lines,
                                     const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Lines starting with `prefix` the server received, over all its connections.
inline std::size_t linesReceived(const ScriptedSmtpServer& smtp, const std::string& prefix) {
  std::size_t n = 0;
  for (std::size_t c = 0; c < smtp.connectionCount(); ++c) {
    n += countStartingWith(smtp.transcript(c), prefix);
  }
  return n;
}

struct Processed {
  int index;
  std::int32_t code;
  TransactionLog log;
  Verdict verdict;
  std::string message;
};

class EngineHarness {
 public:
  EngineHarness() : clock(loop), dns(loop), server(loop) {
    smtp.push_back(std::make_unique<ScriptedSmtpServer>(loop, "127.0.0.2"));
    server.setDns(dns.address());
    server.setSmtpPort(std::to_string(smtp[0]->port()));
    server.setFrom("sender@origin.test");
    server.setSignon("origin.test");
    server.setSystemDnsSources({});
    server.OnGetData = [this](engine::TSmtpRelayServer& sender, int index) {
      EXPECT_EQ(&sender, &server);
      taken.push_back(index);
    };
    server.onResult = [this](engine::ValidationResult& r) {
      processed.push_back({r.index, r.result.code, r.log, r.result.verdict, r.result.message});
      reportedAt = loop.now();
    };
    server.OnAborting = [this](engine::TSmtpRelayServer&, int index, int threadsAborted) {
      aborting.emplace_back(index, threadsAborted);
    };
    server.OnFinished = [this](engine::TSmtpRelayServer& sender, bool aborted) {
      finishedAt = loop.now();
      busyInFinished = sender.busy();
      finishedAborted = aborted;
      ++finished;
    };
  }

  // A second (third, ...) SMTP server on 127.0.0.<n> with the same port.
  ScriptedSmtpServer& addSmtp(int n) {
    smtp.push_back(std::make_unique<ScriptedSmtpServer>(loop, "127.0.0." + std::to_string(n),
                                                        smtp[0]->port()));
    return *smtp.back();
  }

  void queue(const std::vector<std::string>& addresses) {
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      server.Recipients().add(addresses[i], static_cast<std::int64_t>(i));
    }
  }

  // Runs the loop until the run has finished. Whenever no session is left
  // (only timers can move the run on: retries, the finish delay), the clock
  // moves to the next timer.
  bool runToEnd(std::uint64_t ms = 10000) {
    return loop.runUntil(
        [this] {
          if (finished == 0 && server.activeCount() == 0 && loop.pendingNotices() == 0) {
            clock.advance(clock.nextDue().value_or(0));
          }
          return finished > 0;
        },
        ms);
  }

  // Runs the loop until `ready`, then moves the clock `ms` forward.
  bool advanceWhen(const std::function<bool()>& ready, std::uint64_t ms) {
    if (!loop.runUntil(ready, 5000)) return false;
    clock.advance(ms);
    return true;
  }

  // Queues `addresses`, starts the run and runs it to its end; fails unless
  // every address was reported.
  ::testing::AssertionResult check(const std::vector<std::string>& addresses,
                                   std::uint64_t ms = 10000) {
    queue(addresses);
    server.StartCheck();
    if (!runToEnd(ms)) return ::testing::AssertionFailure() << "the run did not finish";
    if (processed.size() != addresses.size()) {
      return ::testing::AssertionFailure() << processed.size() << " results";
    }
    return ::testing::AssertionSuccess();
  }

  net::EventLoop loop;
  net::ManualClock clock;
  ScriptedDnsServer dns;
  std::vector<std::unique_ptr<ScriptedSmtpServer>> smtp;
  engine::TSmtpRelayServer server;
  std::vector<int> taken;
  std::vector<Processed> processed;
  std::vector<std::pair<int, int>> aborting;
  int finished = 0;
  std::uint32_t reportedAt = 0, finishedAt = 0;  // loop times of the last report and the finish
  bool finishedAborted = false;
  bool busyInFinished = true;
};

}  // namespace orvane::testing
