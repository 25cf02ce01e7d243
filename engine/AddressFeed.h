// The addresses of a run as the sessions take them: read from the owner's
// source only as the run consumes them (a list of millions is never held
// whole), kept in a bounded window in their order, and queued by domain so
// that a session holding a connection to a domain's mail host can take that
// domain's next addresses along.
//
// Each address is numbered in read order (the recipientIndex of the events)
// and checked once when it is read (prepareAddress), which gives its domain.
// An address given back (its connection broke before it was answered) goes
// to the front and is taken alone from then on.
//
// A session that starts on a domain sets the domain's next addresses aside
// for its connection (reserve): a connection carries a run of the list's
// addresses of its domain, as one sender would, rather than every other one
// while other connections take the rest; and a session that starts later
// finds only what no connection will carry. What the connection does not
// ask about goes back to the front of its domain's queue (unreserve).
//
// A source may answer "none yet": the feed then holds what it has and asks
// again at the next take, so a trickling input is one run. It ends when the
// source says so.
//
// Blocked domains: takeNext() asks the caller, for the domain of the address
// it would hand out, whether that domain's mail host is full. A domain that
// is blocked keeps its addresses, untaken, in its queue (they can still be
// taken along by a connection to that host) and is skipped until
// unblock(host): a free session never waits for a full host while other
// addresses are at hand.
//
// Owns the window's copies of the addresses. Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/AddressSyntax.h"

namespace orvane::engine {

// One address as the owner gives it: `text` is what is checked; `given`, the
// entry's own text the results name (empty: the same as `text`).
struct FeedLine {
  std::string text;
  std::int64_t tag = 0;
  std::string given;
};

// What an address source answers when asked for the next address.
enum class SourceAnswer : std::uint8_t { Address, NoneYet, End };

struct TakenAddress {
  int index = -1;            // in read order, from 0
  std::string text;          // the address as the owner gave it for checking
  std::string given;         // the entry's text; empty: `text`
  std::int64_t tag = 0;      // the owner's
  PreparedAddress prepared;  // what goes on the wire, or why nothing does
  bool announced = false;    // its taking has been reported (once per address)

  const std::string& givenText() const noexcept { return given.empty() ? text : given; }
};

class AddressFeed final {
 public:
  using Source = std::function<SourceAnswer(FeedLine& line)>;
  // The full host a domain's addresses would wait for, or nullptr.
  using BlockedOn = std::function<const std::string*(const std::string& domain)>;

  // Starts over with `source`, reading ahead at most `lookahead` addresses.
  void reset(Source source, std::size_t lookahead);
  // The oldest address at hand (given-back ones first) whose domain is not
  // blocked; false when there is none now.
  bool takeNext(TakenAddress& out, const BlockedOn& blockedOn = {});
  // The oldest address of `domain` (ASCII form) at hand, blocked or not;
  // never one that was given back.
  bool takeAlong(const std::string& domain, TakenAddress& out);
  // Sets up to `count` of `domain`'s oldest addresses at hand aside, into
  // `out` (oldest first); they stay untaken until taken or put back.
  void reserve(const std::string& domain, std::size_t count, std::deque<int>& out);
  // Takes the oldest of `reserved`; false when it is empty.
  bool takeReserved(std::deque<int>& reserved, TakenAddress& out);
  // Puts what is left of `reserved` back into `domain`'s queue, in order.
  void unreserve(const std::string& domain, std::deque<int>& reserved);
  void giveBack(TakenAddress address);
  // Puts the domains blocked on `host` back in turn.
  void unblock(const std::string& host);

  // An address could be handed out now (given back, or of a domain not
  // blocked), reading from the source as far as the window allows.
  bool runnable();
  // Addresses at hand and not taken (blocked ones too), and given back.
  std::size_t available();
  // The source said "none yet" at its last ask.
  bool waitingForSource() const noexcept { return sourceWaiting_; }
  // The source has ended and every address has been taken.
  bool exhausted();
  std::uint64_t read() const noexcept { return static_cast<std::uint64_t>(nextIndex_); }

 private:
  // What the window keeps of an address read ahead: its text and domain;
  // the rest is worked out again when it is taken.
  struct Slot {
    int index = -1;
    std::int64_t tag = 0;
    std::string text;
    std::string given;
    bool taken = false;
  };
  struct DomainQueue {
    std::string domain;       // ASCII form; "" for what cannot be sent
    std::deque<int> indices;  // untaken addresses, oldest first
    bool blocked = false;
  };

  void fill();
  void dropTakenFront();
  TakenAddress take(DomainQueue& queue) { return takeSlot(popFront(queue)); }
  // Removes the queue's oldest address from it (and the queue, once empty).
  int popFront(DomainQueue& queue);
  TakenAddress takeSlot(int index);
  // Keeps `queue` in the turn order under its oldest address, or out of it.
  void enqueue(DomainQueue& queue);
  void dequeue(DomainQueue& queue);

  Source source_;
  bool sourceDone_ = true;
  bool sourceWaiting_ = false;
  std::size_t lookahead_ = 0;
  int nextIndex_ = 0;
  std::deque<Slot> window_;
  int base_ = 0;             // index of window_.front()
  std::size_t untaken_ = 0;  // queued, reserved and not yet taken
  std::unordered_map<std::string, DomainQueue> queues_;
  // Domains not blocked, by their oldest untaken address: whose turn it is.
  std::map<int, DomainQueue*> turn_;
  std::unordered_map<std::string, std::vector<std::string>> blockedOn_;  // host -> domains
  std::deque<TakenAddress> givenBack_;
};

}  // namespace orvane::engine
