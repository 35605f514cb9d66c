// The working buffers kept per thread: which calls a kept buffer serves, when it is let go, and
// the bound on what a thread keeps in all (what no result shows, only the memory a process
// holds). Every case runs on a thread of its own, whose homes start empty.
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "text/recycled.hpp"

using namespace kestrix;
using recycled::kKeepBytes;
using recycled::kLongText;

namespace {

constexpr std::size_t kMB = std::size_t{1} << 20;

template <class F>
void on_a_new_thread(F f) {
  std::thread(f).join();
}

// A buffer with room for `bytes` (reserved only: no page of it is touched) and a few bytes in it.
std::vector<char> room(std::size_t bytes) {
  std::vector<char> v;
  v.reserve(bytes);
  v.assign(3, 'x');
  return v;
}

std::size_t kept() { return recycled::kept_bytes(); }

}  // namespace

KX_TEST(a_large_buffer_serves_the_next_long_text_and_waits_through_short_ones) {
  on_a_new_thread([] {
    std::vector<char> home;
    std::vector<char> v = room(kMB);
    recycled::give_back(home, v);
    KX_CHECK(home.capacity() == kMB && home.empty() && kept() == kMB);
    // A short text leaves it where it is and gets a buffer of its own.
    std::vector<char> a = recycled::take(home, kLongText - 1);
    KX_CHECK(a.capacity() == 0 && home.capacity() == kMB && kept() == kMB);
    // A long text takes it, emptied; a nested use finds the home empty.
    std::vector<char> b = recycled::take(home, kLongText);
    KX_CHECK(b.capacity() == kMB && b.empty() && home.capacity() == 0 && kept() == 0);
    KX_CHECK(recycled::take(home, kLongText).capacity() == 0);
    // Back again, and taken by a text a sixteenth of its size: still served.
    recycled::give_back(home, b);
    KX_CHECK(recycled::take(home, kMB / 16).capacity() == kMB && kept() == 0);
  });
}

KX_TEST(a_large_buffer_far_larger_than_a_long_text_needs_is_let_go) {
  on_a_new_thread([] {
    std::vector<char> home;
    std::vector<char> v = room(8 * kMB);
    recycled::give_back(home, v);
    KX_CHECK(kept() == 8 * kMB);
    std::vector<char> b = recycled::take(home, 8 * kMB / 16 - 1);
    KX_CHECK(b.capacity() == 0 && home.capacity() == 0 && kept() == 0);
  });
}

KX_TEST(a_smaller_buffer_does_not_replace_a_kept_one) {
  on_a_new_thread([] {
    std::vector<char> home;
    std::vector<char> big = room(2 * kMB), small = room(kMB), tiny = room(1000);
    recycled::give_back(home, big);
    recycled::give_back(home, small);
    recycled::give_back(home, tiny);
    KX_CHECK(home.capacity() == 2 * kMB && kept() == 2 * kMB);
    KX_CHECK(small.capacity() == kMB && tiny.capacity() == 1000);  // left with their owners
    // A larger one does, and the thread's total counts it in place of the other.
    std::vector<char> bigger = room(3 * kMB);
    recycled::give_back(home, bigger);
    KX_CHECK(home.capacity() == 3 * kMB && kept() == 3 * kMB);
  });
}

KX_TEST(small_buffers_are_kept_for_any_call_and_not_counted) {
  on_a_new_thread([] {
    std::vector<char> home;
    std::vector<char> v = room(kKeepBytes);
    recycled::give_back(home, v);
    KX_CHECK(home.capacity() == kKeepBytes && kept() == 0);
    KX_CHECK(recycled::take(home, 1).capacity() == kKeepBytes && home.capacity() == 0);
  });
}

KX_TEST(a_buffer_let_go_in_the_middle_of_a_call_is_kept_only_if_small) {
  on_a_new_thread([] {
    std::vector<char> home;
    std::vector<char> big = room(kKeepBytes + 1), small = room(kKeepBytes);
    recycled::give_back_small(home, big);
    KX_CHECK(home.capacity() == 0 && big.capacity() == kKeepBytes + 1 && kept() == 0);
    recycled::give_back_small(home, small);
    KX_CHECK(home.capacity() == kKeepBytes && home.empty() && kept() == 0);
    // A short text's buffer of the largest size kept for it goes to the home short texts use.
    recycled::Homes<std::vector<char>> homes;
    std::vector<char> edge = room(kKeepBytes);
    recycled::give_back(homes, edge);
    KX_CHECK(recycled::take(homes, 1).capacity() == kKeepBytes);
  });
}

KX_TEST(a_thread_keeps_no_more_than_its_share_of_large_buffers) {
  on_a_new_thread([] {
    static_assert(recycled::kKeepPerThread == 96 * kMB);
    std::vector<char> homes[5];
    std::vector<char> a = room(40 * kMB), b = room(40 * kMB), c = room(40 * kMB);
    recycled::give_back(homes[0], a);
    recycled::give_back(homes[1], b);
    recycled::give_back(homes[2], c);  // 120 MB in all: refused
    KX_CHECK(homes[2].capacity() == 0 && c.capacity() == 40 * kMB && kept() == 80 * kMB);
    std::vector<char> d = room(56 * kMB);  // in place of the 40 MB of homes[0]: 96 MB
    recycled::give_back(homes[0], d);
    KX_CHECK(homes[0].capacity() == 56 * kMB && kept() == 96 * kMB);
    std::vector<char> e = room(kKeepBytes + 1);
    recycled::give_back(homes[3], e);
    KX_CHECK(homes[3].capacity() == 0 && kept() == 96 * kMB);
    std::vector<char> f = room(kKeepBytes);  // a small one is no part of the share
    recycled::give_back(homes[4], f);
    KX_CHECK(homes[4].capacity() == kKeepBytes);
    // Taken, they no longer count.
    std::vector<char> g = recycled::take(homes[0], 56 * kMB), h = recycled::take(homes[1], 40 * kMB);
    KX_CHECK(g.capacity() == 56 * kMB && h.capacity() == 40 * kMB && kept() == 0);
  });
}

KX_TEST(two_homes_hand_out_the_larger_large_buffer_first) {
  on_a_new_thread([] {
    recycled::Homes<std::vector<char>> homes;
    std::vector<char> s = room(1000), m = room(kMB), l = room(2 * kMB);
    recycled::give_back(homes, m);
    recycled::give_back(homes, s);
    recycled::give_back(homes, l);
    KX_CHECK(homes.small.capacity() == 1000 && kept() == 3 * kMB);
    // A short text takes the small one only.
    std::vector<char> a = recycled::take(homes, 100);
    KX_CHECK(a.capacity() == 1000 && kept() == 3 * kMB);
    KX_CHECK(recycled::take(homes, 100).capacity() == 0);
    std::vector<char> b = recycled::take(homes, kMB);
    std::vector<char> c = recycled::take(homes, kMB);
    KX_CHECK(b.capacity() == 2 * kMB && c.capacity() == kMB && kept() == 0);
    // With both large homes empty, a long text takes the small one.
    recycled::give_back(homes, a);
    KX_CHECK(recycled::take(homes, kMB).capacity() == 1000);
    // A third large buffer takes the place of the smaller of two.
    recycled::give_back(homes, b);
    recycled::give_back(homes, c);
    std::vector<char> d = room(3 * kMB);
    recycled::give_back(homes, d);
    KX_CHECK(kept() == 5 * kMB);
    KX_CHECK(recycled::take(homes, kMB).capacity() == 3 * kMB);
    KX_CHECK(recycled::take(homes, kMB).capacity() == 2 * kMB && kept() == 0);
  });
}

KX_TEST(lists_kept_in_place_count_while_they_rest) {
  on_a_new_thread([] {
    std::size_t large = 0;
    std::vector<char> small = room(1000), big = room(4 * kMB);
    recycled::trim(small, large);
    recycled::trim(big, large);
    KX_CHECK(small.empty() && small.capacity() == 1000 && big.empty() && big.capacity() == 4 * kMB);
    KX_CHECK(large == 4 * kMB && kept() == 4 * kMB);
    // Lent to a call on a text that needs it, it leaves the total; on a far shorter one it goes.
    recycled::lend(large, kMB, small, big);
    KX_CHECK(large == 0 && kept() == 0 && big.capacity() == 4 * kMB);
    recycled::trim(big, large);
    recycled::lend(large, 4 * kMB / 16 - 1, small, big);
    KX_CHECK(large == 0 && kept() == 0 && big.capacity() == 0 && small.capacity() == 1000);
    // Past the thread's share, a list is let go where it stands.
    std::vector<char> elsewhere, other = room(90 * kMB), more = room(10 * kMB);
    recycled::give_back(elsewhere, other);  // 90 MB of the share
    recycled::trim(more, large);
    KX_CHECK(more.capacity() == 0 && large == 0 && kept() == 90 * kMB);
  });
}

KX_TEST(text_buffers_are_kept_for_long_texts_only) {
  on_a_new_thread([] {
    std::string small(kKeepBytes, 'x');
    recycled::recycle_text(std::move(small));
    KX_CHECK(kept() == 0 && recycled::text_buffer(kLongText).capacity() < kKeepBytes);
    std::string big;
    big.reserve(kMB);
    big.assign("abc");
    recycled::recycle_text(std::move(big));
    KX_CHECK(big.capacity() < kKeepBytes && kept() >= kMB);
    KX_CHECK(recycled::text_buffer(kLongText - 1).capacity() < kKeepBytes);
    std::string t = recycled::text_buffer(kLongText);
    KX_CHECK(t.capacity() >= kMB && t.empty() && kept() == 0);
  });
}

KX_TEST(each_thread_has_homes_of_its_own) {
  on_a_new_thread([] {
    recycled::recycle_text(std::string(kMB, 'x'));
    const std::size_t mine = kept();
    on_a_new_thread([] { KX_CHECK(kept() == 0 && recycled::text_buffer(kMB).capacity() < kKeepBytes); });
    KX_CHECK(kept() == mine && recycled::text_buffer(kMB).capacity() >= kMB);
  });
}
