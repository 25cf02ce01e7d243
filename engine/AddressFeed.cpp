#include "engine/AddressFeed.h"

#include <algorithm>
#include <iterator>

namespace orvane::engine {

void AddressFeed::reset(Source source, std::size_t lookahead) {
  source_ = std::move(source);
  sourceDone_ = !source_;
  sourceWaiting_ = false;
  lookahead_ = lookahead == 0 ? 1 : lookahead;
  nextIndex_ = 0;
  window_.clear();
  base_ = 0;
  untaken_ = 0;
  turn_.clear();
  queues_.clear();
  blockedOn_.clear();
  givenBack_.clear();
}

void AddressFeed::fill() {
  while (!sourceDone_ && window_.size() < lookahead_) {
    FeedLine line;
    const SourceAnswer answer = source_(line);
    if (answer == SourceAnswer::NoneYet) {
      sourceWaiting_ = true;
      return;
    }
    sourceWaiting_ = false;
    if (answer == SourceAnswer::End) {
      sourceDone_ = true;
      source_ = nullptr;
      return;
    }
    Slot slot;
    slot.index = nextIndex_++;
    slot.tag = line.tag;
    slot.text = std::move(line.text);
    slot.given = std::move(line.given);
    PreparedAddress prepared = prepareAddress(slot.text);
    std::string domain =
        prepared.status == PreparedAddress::Status::Ready ? std::move(prepared.domain) : "";
    auto [it, added] = queues_.try_emplace(domain);
    DomainQueue& queue = it->second;
    if (added) queue.domain = std::move(domain);
    queue.indices.push_back(slot.index);
    if (queue.indices.size() == 1 && !queue.blocked) turn_.emplace(slot.index, &queue);
    window_.push_back(std::move(slot));
    ++untaken_;
  }
}

void AddressFeed::dropTakenFront() {
  while (!window_.empty() && window_.front().taken) {
    window_.pop_front();
    ++base_;
  }
}

int AddressFeed::popFront(DomainQueue& queue) {
  const int index = queue.indices.front();
  if (!queue.blocked) turn_.erase(index);
  queue.indices.pop_front();
  if (queue.indices.empty()) {
    const std::string domain = queue.domain;
    queues_.erase(domain);
  } else if (!queue.blocked) {
    turn_.emplace(queue.indices.front(), &queue);
  }
  return index;
}

TakenAddress AddressFeed::takeSlot(int index) {
  Slot& slot = window_[static_cast<std::size_t>(index - base_)];
  slot.taken = true;
  --untaken_;
  TakenAddress out;
  out.index = slot.index;
  out.tag = slot.tag;
  out.prepared = prepareAddress(slot.text);
  out.text = std::move(slot.text);
  out.given = std::move(slot.given);
  dropTakenFront();
  return out;
}

bool AddressFeed::takeNext(TakenAddress& out, const BlockedOn& blockedOn) {
  if (!givenBack_.empty()) {
    out = std::move(givenBack_.front());
    givenBack_.pop_front();
    return true;
  }
  fill();
  while (!turn_.empty()) {
    DomainQueue& queue = *turn_.begin()->second;
    if (blockedOn && !queue.domain.empty()) {
      if (const std::string* host = blockedOn(queue.domain)) {
        turn_.erase(turn_.begin());
        queue.blocked = true;
        blockedOn_[*host].push_back(queue.domain);
        continue;
      }
    }
    out = take(queue);
    return true;
  }
  return false;
}

bool AddressFeed::takeAlong(const std::string& domain, TakenAddress& out) {
  fill();
  const auto it = queues_.find(domain);
  if (it == queues_.end()) return false;
  out = take(it->second);
  return true;
}

void AddressFeed::reserve(const std::string& domain, std::size_t count, std::deque<int>& out) {
  fill();
  for (std::size_t i = 0; i < count; ++i) {
    const auto it = queues_.find(domain);
    if (it == queues_.end()) return;
    out.push_back(popFront(it->second));
  }
}

bool AddressFeed::takeReserved(std::deque<int>& reserved, TakenAddress& out) {
  if (reserved.empty()) return false;
  out = takeSlot(reserved.front());
  reserved.pop_front();
  return true;
}

void AddressFeed::unreserve(const std::string& domain, std::deque<int>& reserved) {
  if (reserved.empty()) return;
  auto [it, added] = queues_.try_emplace(domain);
  DomainQueue& queue = it->second;
  if (added) queue.domain = domain;
  if (!queue.indices.empty() && !queue.blocked) turn_.erase(queue.indices.front());
  std::deque<int> merged;
  std::merge(reserved.begin(), reserved.end(), queue.indices.begin(), queue.indices.end(),
             std::back_inserter(merged));
  queue.indices = std::move(merged);
  reserved.clear();
  if (!queue.blocked) turn_.emplace(queue.indices.front(), &queue);
}

void AddressFeed::giveBack(TakenAddress address) {
  givenBack_.push_back(std::move(address));
}

void AddressFeed::unblock(const std::string& host) {
  const auto it = blockedOn_.find(host);
  if (it == blockedOn_.end()) return;
  for (const std::string& domain : it->second) {
    const auto q = queues_.find(domain);
    if (q == queues_.end() || !q->second.blocked) continue;
    q->second.blocked = false;
    turn_.emplace(q->second.indices.front(), &q->second);
  }
  blockedOn_.erase(it);
}

bool AddressFeed::runnable() {
  if (!givenBack_.empty()) return true;
  fill();
  return !turn_.empty();
}

std::size_t AddressFeed::available() {
  fill();
  return untaken_ + givenBack_.size();
}

bool AddressFeed::exhausted() {
  fill();
  return sourceDone_ && untaken_ == 0 && givenBack_.empty();
}

}  // namespace orvane::engine
