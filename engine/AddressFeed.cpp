#include "engine/AddressFeed.h"

namespace orvane::engine {

void AddressFeed::reset(Source source, std::size_t lookahead, bool byDomain) {
  indexDomains_ = byDomain;
  indexed_ = 0;
  source_ = std::move(source);
  sourceDone_ = !source_;
  lookahead_ = lookahead == 0 ? 1 : lookahead;
  nextIndex_ = 0;
  window_.clear();
  base_ = 0;
  untaken_ = 0;
  byDomain_.clear();
  givenBack_.clear();
}

void AddressFeed::fill() {
  while (!sourceDone_ && window_.size() < lookahead_) {
    FeedLine line;
    if (!source_(line)) {
      sourceDone_ = true;
      source_ = nullptr;
      break;
    }
    Slot slot;
    slot.index = nextIndex_++;
    slot.text = std::move(line.text);
    slot.tag = line.tag;
    if (indexDomains_) {
      PreparedAddress prepared = prepareAddress(slot.text);
      if (prepared.status == PreparedAddress::Status::Ready) {
        slot.domain = std::move(prepared.domain);
        byDomain_[slot.domain].push_back(slot.index);
        ++indexed_;
      }
    }
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

bool AddressFeed::takeNext(TakenAddress& out) {
  if (!givenBack_.empty()) {
    out = std::move(givenBack_.front());
    givenBack_.pop_front();
    return true;
  }
  dropTakenFront();
  fill();
  dropTakenFront();
  pruneIndex();
  if (window_.empty()) return false;
  Slot& slot = window_.front();
  --untaken_;
  out = take(slot);
  dropTakenFront();
  return true;
}

TakenAddress AddressFeed::take(Slot& slot) {
  slot.taken = true;
  TakenAddress out;
  out.index = slot.index;
  out.tag = slot.tag;
  out.prepared = prepareAddress(slot.text);
  out.text = std::move(slot.text);
  return out;
}

void AddressFeed::pruneIndex() {
  if (indexed_ <= 4 * lookahead_ + 1024) return;
  byDomain_.clear();
  indexed_ = 0;
  for (const Slot& slot : window_) {
    if (slot.taken || slot.domain.empty()) continue;
    byDomain_[slot.domain].push_back(slot.index);
    ++indexed_;
  }
}

bool AddressFeed::takeAlong(const std::string& domain, TakenAddress& out) {
  fill();
  pruneIndex();
  const auto it = byDomain_.find(domain);
  if (it == byDomain_.end()) return false;
  std::deque<int>& indices = it->second;
  while (!indices.empty()) {
    const int index = indices.front();
    indices.pop_front();
    --indexed_;
    if (index < base_) continue;  // taken in order meanwhile
    Slot& slot = window_[static_cast<std::size_t>(index - base_)];
    if (slot.taken) continue;
    --untaken_;
    out = take(slot);
    if (indices.empty()) byDomain_.erase(it);
    dropTakenFront();
    return true;
  }
  byDomain_.erase(it);
  return false;
}

void AddressFeed::giveBack(TakenAddress address) {
  address.solo = true;
  givenBack_.push_back(std::move(address));
}

std::size_t AddressFeed::available() {
  fill();
  return untaken_ + givenBack_.size();
}

}  // namespace orvane::engine
