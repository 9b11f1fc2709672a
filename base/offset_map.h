// A hash table keyed by file offsets, for the bookkeeping of one file's load: open
// addressing with linear probing in one array, so an entry costs no allocation of its own
// (a load meets about a thousand blocks per file). It grows at half full and never
// shrinks; entries are not removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <utility>
#include <vector>

namespace busfold {

template <class Value> class OffsetMap {
public:
  // The one key the table cannot hold: it marks an empty slot.
  static constexpr std::uint64_t kFreeKey = ~std::uint64_t{0};

  Value* find(std::uint64_t key) {
    if (slots_.empty()) return nullptr;
    for (std::size_t at = home(key);; at = (at + 1) & mask()) {
      if (slots_[at].key == key) return &slots_[at].value;
      if (slots_[at].key == kFreeKey) return nullptr;
    }
  }
  const Value* find(std::uint64_t key) const { return const_cast<OffsetMap*>(this)->find(key); }

  // The entry of `key`, made with a default value when it is not there; the flag says
  // whether it was made. `key` must not be kFreeKey.
  std::pair<Value*, bool> try_emplace(std::uint64_t key) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    std::size_t at = home(key);
    for (; slots_[at].key != kFreeKey; at = (at + 1) & mask()) {
      if (slots_[at].key == key) return {&slots_[at].value, false};
    }
    slots_[at].key = key;
    ++size_;
    return {&slots_[at].value, true};
  }

  std::size_t size() const { return size_; }

private:
  struct Slot {
    std::uint64_t key = kFreeKey;
    Value value{};
  };

  std::size_t mask() const { return slots_.size() - 1; }
  // Offsets are multiples of 8 in real files: a multiplicative hash spreads them over the
  // top bits.
  std::size_t home(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> shift_);
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 64 : 2 * old.size();
    slots_ = std::vector<Slot>(capacity);
    shift_ = 64 - std::countr_zero(capacity);
    for (Slot& slot : old) {
      if (slot.key == kFreeKey) continue;
      std::size_t at = home(slot.key);
      while (slots_[at].key != kFreeKey)
        at = (at + 1) & mask();
      slots_[at] = std::move(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace busfold
