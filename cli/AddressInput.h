// The addresses `check` validates: its operands, or the non-blank lines of a
// list (a file, a pipe, a terminal; lines end in "\n" or "\r\n"). A list is
// read only as far as the run asks for it, and never by waiting: a read takes
// what has arrived, and what has not is simply not at hand yet; whenReady()
// says when more may be. So a slow pipe never holds up the event loop, and
// Ctrl-C is heard while the list trickles in.
//
// Owns the descriptor it was given (standard input excepted) and, while it
// waits, a watcher on it. Loop thread; stopWaiting() before the loop goes.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane::net {
class EventLoop;
class IoWatcher;
}  // namespace orvane::net

namespace orvane::cli {

class AddressInput final {
 public:
  // The operands, each as given (a blank one included).
  explicit AddressInput(std::vector<std::string> addresses);
  // The list on descriptor `fd`, called `name` in messages.
  AddressInput(int fd, std::string name);
  ~AddressInput();
  AddressInput(const AddressInput&) = delete;
  AddressInput& operator=(const AddressInput&) = delete;

  // True when an address is at hand now (what has arrived is read first).
  bool ready();
  // Takes the next address when one is at hand now; false otherwise.
  bool next(std::string& text);
  // True once the list has ended and every address of it has been taken.
  bool ended();
  // True when reading the list failed (the message is on standard error).
  bool failed() const noexcept { return failed_; }
  // How many addresses the input holds in all, once that is known.
  std::optional<std::size_t> total() const;
  // Calls `onReady` once, from the loop, when more of the list has arrived or
  // it has ended.
  void whenReady(net::EventLoop& loop, std::function<void()> onReady);
  void stopWaiting();

 private:
  static void onReadable(void* context, int status, int events, bool maybeStale);
  // Reads what has arrived, without waiting; false when nothing more came.
  bool readArrived();

  int fd_ = -1;
  std::string name_;
  bool end_ = false;
  bool failed_ = false;
  std::deque<std::string> lines_;  // non-blank lines at hand
  std::string partial_;            // the start of a line still arriving
  std::size_t taken_ = 0;
  std::unique_ptr<net::IoWatcher> watcher_;
  std::function<void()> onReady_;
};

}  // namespace orvane::cli
