// The process-wide store of rule lists behind RuleSeq handles. Lists are found by content under
// a lock; each thread keeps the handles it made last, so building a map takes the lock only for
// lists it has not met yet.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>

#include "span/builder.hpp"
#include "span/span.hpp"

namespace kestrix {
namespace {

constexpr std::size_t kChunkSize = std::size_t{1} << RuleSeq::kChunkBits;

struct Store {
  std::mutex mu;
  std::unordered_map<std::string, std::uint32_t> ids;  // key: each name length-prefixed
  std::uint32_t next = 1;  // 0 is the empty list
  std::uint32_t limit = std::numeric_limits<std::uint32_t>::max();  // lowered by tests only
};

Store& store() {
  static Store* s = new Store();  // never destroyed: handles may be read during exit
  return *s;
}

std::string key_of(const std::string_view* names, std::size_t count) {
  std::string key;
  for (std::size_t i = 0; i < count; ++i) {
    const auto len = static_cast<std::uint32_t>(names[i].size());
    key.append(reinterpret_cast<const char*>(&len), sizeof len);
    key.append(names[i]);
  }
  return key;
}

// Lists up to this length are remembered per thread, found by the addresses of their names
// and checked by their text.
constexpr std::size_t kCachedNames = 4;

struct CacheSlot {
  std::uint32_t count = 0;
  std::uint32_t id = 0;  // 0: empty slot
};

thread_local std::array<CacheSlot, 256> cache;

std::size_t slot_of(const std::string_view* names, std::size_t count) {
  std::uint64_t h = count;
  for (std::size_t i = 0; i < count; ++i)
    h = (h ^ reinterpret_cast<std::uintptr_t>(names[i].data()) ^ names[i].size()) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 56);
}

RuleSeq::Entry first_chunk[kChunkSize];  // holds the empty list at id 0

}  // namespace

std::atomic<const RuleSeq::Entry*> RuleSeq::chunks_[RuleSeq::kChunks] = {first_chunk};

namespace rule_seq_detail {

std::uint32_t intern(const std::string_view* names, std::size_t count) {
  std::string key = key_of(names, count);
  Store& s = store();
  std::lock_guard lock(s.mu);
  if (auto it = s.ids.find(key); it != s.ids.end()) return it->second;
  const std::uint32_t id = s.next;
  const std::size_t c = id >> RuleSeq::kChunkBits;
  // A full store is memory exhaustion like any other: the caller sees std::bad_alloc.
  if (c >= RuleSeq::kChunks || id >= s.limit) throw std::bad_alloc();
  // Chunks are only written under the lock, and an entry before its handle is handed out.
  auto* chunk = const_cast<RuleSeq::Entry*>(RuleSeq::chunks_[c].load(std::memory_order_relaxed));
  if (!chunk) {
    chunk = new RuleSeq::Entry[kChunkSize]();
    RuleSeq::chunks_[c].store(chunk, std::memory_order_release);
  }
  auto* stored = new std::string_view[count];
  for (std::size_t i = 0; i < count; ++i) stored[i] = intern_rule(names[i]);
  bool ascending = true;
  for (std::size_t i = 1; i < count; ++i) ascending = ascending && stored[i - 1] < stored[i];
  chunk[id & (kChunkSize - 1)] = RuleSeq::Entry{stored, static_cast<std::uint32_t>(count), ascending};
  s.ids.emplace(std::move(key), id);
  ++s.next;
  return id;
}

void limit_for_tests(std::uint32_t ids) {
  Store& s = store();
  std::lock_guard lock(s.mu);
  s.limit = ids;
}

}  // namespace rule_seq_detail

RuleSeq::RuleSeq(const std::string_view* names, std::size_t count) {
  if (count == 0) return;
  if (count > kCachedNames) {
    id_ = rule_seq_detail::intern(names, count);
    return;
  }
  CacheSlot& slot = cache[slot_of(names, count)];
  if (slot.id != 0 && slot.count == count) {
    const RuleSeq held = from_id(slot.id);
    if (std::equal(names, names + count, held.begin())) {
      id_ = slot.id;
      return;
    }
  }
  slot.id = rule_seq_detail::intern(names, count);
  slot.count = static_cast<std::uint32_t>(count);
  id_ = slot.id;
}

RuleSeq RuleSeq::one(std::string_view name) { return RuleSeq(&name, 1); }

}  // namespace kestrix
