#include "cli/AddressInput.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/Text.h"
#include "net/EventLoop.h"

namespace orvane::cli {

AddressInput::AddressInput(std::vector<std::string> addresses)
    : end_(true),
      lines_(std::make_move_iterator(addresses.begin()), std::make_move_iterator(addresses.end())) {
}

AddressInput::AddressInput(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

AddressInput::~AddressInput() {
  watcher_.reset();
  if (fd_ > STDERR_FILENO) ::close(fd_);
}

bool AddressInput::readArrived() {
  if (end_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;  // nothing has arrived
  char buffer[65536];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
  if (n < 0) {
    std::fprintf(stderr, "orvane-cli check: cannot read %s: %s\n", name_.c_str(),
                 std::strerror(errno));
    failed_ = true;
  }
  end_ = n <= 0;
  if (n > 0) partial_.append(buffer, static_cast<std::size_t>(n));
  const auto add = [this](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!trimBlanks(line).empty()) lines_.emplace_back(line);
  };
  std::size_t start = 0;
  for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    add(std::string_view(partial_).substr(start, nl - start));
  }
  if (end_) {
    add(std::string_view(partial_).substr(start));
    start = partial_.size();
  }
  partial_.erase(0, start);
  return n > 0;
}

bool AddressInput::ready() {
  while (lines_.empty() && readArrived()) {
  }
  return !lines_.empty();
}

bool AddressInput::next(std::string& text) {
  if (!ready()) return false;
  text = std::move(lines_.front());
  lines_.pop_front();
  ++taken_;
  return true;
}

bool AddressInput::ended() {
  return !ready() && end_;
}

std::optional<std::size_t> AddressInput::total() const {
  if (!end_) return std::nullopt;
  return taken_ + lines_.size();
}

void AddressInput::whenReady(net::EventLoop& loop, std::function<void()> onReady) {
  onReady_ = std::move(onReady);
  if (!watcher_) {
    watcher_ = std::make_unique<net::IoWatcher>(loop, &AddressInput::onReadable, this);
    watcher_->open(fd_);
  }
  watcher_->set(UV_READABLE);
  // A descriptor that cannot be watched (a regular file) never makes a read wait.
  if (watcher_->events() != UV_READABLE) loop.post([this] { onReadable(this, 0, 0, false); });
}

void AddressInput::stopWaiting() {
  watcher_.reset();
  onReady_ = nullptr;
}

void AddressInput::onReadable(void* context, int, int, bool) {
  auto* self = static_cast<AddressInput*>(context);
  if (self->watcher_) self->watcher_->set(0);
  if (auto onReady = std::exchange(self->onReady_, nullptr)) onReady();
}

}  // namespace orvane::cli
