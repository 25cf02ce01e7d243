// A Farm of scripted servers on a thread and event loop of its own, so that a
// benchmark's figures are the measured program's alone: the farm's work runs
// beside it, not inside its loop. Stops and joins in the destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/LoopThread.h"
#include "tools/farm/Farm.h"

namespace orvane::farm {

class FarmThread final {
 public:
  // Starts the farm and returns once it listens. Throws what the farm throws.
  explicit FarmThread(FarmOptions options)
      : thread_([this, options](net::EventLoop& loop) {
          auto farm = std::make_shared<Farm>(loop, options);
          farm_ = farm;
          dns_ = farm->dnsAddress();
          smtpPort_ = farm->smtpPort();
          return farm;
        }) {}

  const std::string& dns() const noexcept { return dns_; }  // "127.0.0.1:PORT"
  std::uint16_t smtpPort() const noexcept { return smtpPort_; }
  // DNS queries the farm has answered so far.
  std::uint64_t dnsQueries() const noexcept {
    const auto farm = farm_.lock();
    return farm ? farm->dnsQueries() : 0;
  }

 private:
  std::string dns_;
  std::uint16_t smtpPort_ = 0;
  std::weak_ptr<Farm> farm_;    // the farm lives on its thread
  testing::LoopThread thread_;  // last: set up after, and stopped before, the fields above
};

}  // namespace orvane::farm
