#include "tests/support/FarmThread.h"

#include <memory>

namespace orvane::testing {

FarmThread::FarmThread(FarmOptions options)
    : thread_([this, options](net::EventLoop& loop) {
        auto farm = std::make_shared<Farm>(loop, options);
        dns_ = farm->dnsAddress();
        smtpPort_ = farm->smtpPort();
        return farm;
      }) {}

FarmThread::~FarmThread() = default;

}  // namespace orvane::testing
