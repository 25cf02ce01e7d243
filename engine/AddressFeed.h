// The addresses of a run as the sessions take them: read from the owner's
// source only as the run consumes them (a list of millions is never held
// whole), kept in a bounded window in their order, and findable by domain so
// that a session holding a connection to a domain's mail host can take that
// domain's next addresses along.
//
// Each address is numbered in read order (the recipientIndex of the events)
// and checked once when it is read (prepareAddress), which gives its domain.
// An address given back (its connection broke before it was answered) goes
// to the front and is taken alone from then on.
//
// Owns the window's copies of the addresses. Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "engine/AddressSyntax.h"

namespace orvane::engine {

struct FeedLine {
  std::string text;
  std::int64_t tag = 0;
};

struct TakenAddress {
  int index = -1;            // in read order, from 0
  std::string text;          // as the owner gave it
  std::int64_t tag = 0;      // the owner's
  PreparedAddress prepared;  // what goes on the wire, or why nothing does
  bool solo = false;         // given back once: never taken along again
};

class AddressFeed final {
 public:
  // Hands out the next line; false when there is none left.
  using Source = std::function<bool(FeedLine& line)>;

  // Starts over with `source`, reading ahead at most `lookahead` addresses;
  // `byDomain`: addresses will be taken along (keeps the domain index).
  void reset(Source source, std::size_t lookahead, bool byDomain);
  // The oldest address not taken yet (given-back ones first).
  bool takeNext(TakenAddress& out);
  // The oldest address of `domain` (ASCII form) not taken yet, among those
  // read ahead; never one that was given back.
  bool takeAlong(const std::string& domain, TakenAddress& out);
  void giveBack(TakenAddress address);
  // Addresses read ahead and not taken, and given back (reads ahead first).
  std::size_t available();
  std::uint64_t read() const noexcept { return nextIndex_; }

 private:
  // What the window keeps of an address read ahead: its text and, for the
  // domain index, its domain; the rest is worked out again when it is taken.
  struct Slot {
    int index = -1;
    std::int64_t tag = 0;
    std::string text;
    std::string domain;  // ASCII form; empty when the address cannot be sent
    bool taken = false;
  };
  static TakenAddress take(Slot& slot);
  void fill();
  void dropTakenFront();
  // The domain index keeps entries of addresses taken in order until a
  // takeAlong meets them; it is rebuilt from the window when they pile up,
  // so its size follows the window, not the list.
  void pruneIndex();

  Source source_;
  bool sourceDone_ = true;
  std::size_t lookahead_ = 0;
  int nextIndex_ = 0;
  std::deque<Slot> window_;
  int base_ = 0;  // index of window_.front()
  std::size_t untaken_ = 0;
  bool indexDomains_ = false;
  std::size_t indexed_ = 0;  // entries in byDomain_
  std::unordered_map<std::string, std::deque<int>> byDomain_;
  std::deque<TakenAddress> givenBack_;
};

}  // namespace orvane::engine
