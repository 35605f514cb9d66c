// Working buffers kept per thread from call to call, so that a call allocates none of them
// when an earlier call on the thread left them big enough. A use takes the thread's buffer out
// of its home (leaving an empty one, so that a use nested inside it starts afresh) and puts it
// back cleared when done. Each thread has its own homes: calls that run at once on several
// threads share none.
//
// A buffer of up to kKeepBytes is always kept. A larger one (a long text's copy, its span map,
// its lists of candidates and findings) is kept too when the call lets go of it at its end, or
// its result does when it goes, so that the next long text finds its pages in place: freed,
// they go back to the system or not depending on the allocator's history in the process, and
// fresh pages cost a fault each. A large buffer let go in the middle of a call (a pass's spare
// output, its list of runs) is let go as before: kept, it would stay beside everything the rest
// of the call allocates, and the call's peak memory would grow by it. Only a call on a text of
// kLongText bytes or more
// takes a large buffer (a short text leaves it in its home for the next long one and works
// with buffers of its own), and a large buffer is let go
// - when the call that would take it has a text more than kFarLarger times smaller (the
//   thread's calls no longer need it),
// - or when keeping it would take the thread's large buffers past kKeepPerThread bytes in all.
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kestrix::recycled {

inline constexpr std::size_t kKeepBytes = std::size_t{16} << 10;
inline constexpr std::size_t kKeepPerThread = std::size_t{96} << 20;
inline constexpr std::size_t kLongText = std::size_t{64} << 10;
inline constexpr std::size_t kFarLarger = 16;

// The thread's instance of T, made at its first use on the thread and let go when the thread
// ends. A thread_local object with a destructor is reached through a test of its guard, a
// second lookup of the thread's storage, on every use; this one through a plain pointer.
template <class T>
T& per_thread() {
  static thread_local T* instance = nullptr;
  if (instance) [[likely]]
    return *instance;
  struct Owner {
    T value;
    Owner() { instance = &value; }
    ~Owner() { instance = nullptr; }
  };
  static thread_local Owner owner;
  return owner.value;
}

// The bytes of the thread's large buffers resting in their homes.
struct Kept {
  std::size_t bytes = 0;
};
inline std::size_t& kept_bytes() { return per_thread<Kept>().bytes; }

template <class B>
std::size_t bytes_of(const B& v) {
  return v.capacity() * sizeof(typename B::value_type);
}

// Whether a large buffer of `bytes` may rest in a home now holding `held` bytes (let go if the
// buffer takes its place): counts it in the thread's total if so.
inline bool admit(std::size_t bytes, std::size_t held) {
  std::size_t& total = kept_bytes();
  const std::size_t rest = total - (held > kKeepBytes ? held : 0);
  if (rest + bytes > kKeepPerThread) return false;
  total = rest + bytes;
  return true;
}

// Whether a large buffer of `bytes` is too large to serve a call on a text of `text_bytes`.
inline bool far_larger(std::size_t bytes, std::size_t text_bytes) { return bytes / kFarLarger > text_bytes; }

// The buffer of `home`, a small one or none, empty (its capacity kept).
template <class B>
B take_small(B& home) {
  B v = std::move(home);
  home = B();
  v.clear();
  return v;
}

// The thread's buffer from `home`, empty (its capacity kept), for a call on a text of
// `text_bytes` (see above for a large buffer).
template <class B>
B take(B& home, std::size_t text_bytes) {
  const std::size_t bytes = bytes_of(home);
  if (bytes > kKeepBytes) [[unlikely]] {
    if (text_bytes < kLongText) return B();
    kept_bytes() -= bytes;
    if (far_larger(bytes, text_bytes)) {
      home = B();
      return B();
    }
  }
  return take_small(home);
}

// Puts `v` back in `home` (see above for a large buffer), unless `home` holds as large a
// buffer already (`v` is then let go by its owner).
template <class B>
void give_back(B& home, B& v) {
  const std::size_t bytes = bytes_of(v), held = bytes_of(home);
  if (bytes <= held) return;
  if (bytes > kKeepBytes && !admit(bytes, held)) return;
  v.clear();
  home = std::move(v);
}

// The homes of a kind of buffer of which a call may use two at once: one for a small buffer,
// which any call takes and gives back as before, and two for large ones, which only calls on
// long texts look at.
template <class B>
struct Homes {
  B small;
  B large[2];
};

// A buffer from `homes` for a call on a text of `text_bytes`: on a long text, the larger large
// one if there is one (see take above), else the small one.
template <class B>
B take(Homes<B>& homes, std::size_t text_bytes) {
  if (text_bytes >= kLongText) [[unlikely]] {
    B& home = homes.large[bytes_of(homes.large[1]) > bytes_of(homes.large[0])];
    if (bytes_of(home) > kKeepBytes) return take(home, text_bytes);
  }
  return take_small(homes.small);  // it holds no large buffer (see give_back)
}

// Puts `v` back in its home in `homes`: a large buffer in the smaller of the two large homes.
template <class B>
void give_back(Homes<B>& homes, B& v) {
  if (bytes_of(v) <= kKeepBytes) [[likely]]
    give_back(homes.small, v);
  else
    give_back(homes.large[bytes_of(homes.large[1]) < bytes_of(homes.large[0])], v);
}

// Empties `v`, a list that stays in its home between calls, keeping its buffer unless it is too
// large to keep; `large` counts the bytes of the home's large lists so kept (they are counted in
// the thread's total while the home rests, see lend).
template <class T>
[[gnu::always_inline]] inline void trim(std::vector<T>& v, std::size_t& large) {
  const std::size_t bytes = bytes_of(v);
  if (bytes > kKeepBytes) [[unlikely]] {
    if (admit(bytes, 0))
      large += bytes;
    else
      std::vector<T>().swap(v);
  }
  v.clear();
}

// Takes a home's large lists (counted by `large`, see trim) out of the thread's total for the
// length of a call on a text of `text_bytes`, letting go of those far larger than it needs.
template <class... T>
void lend(std::size_t& large, std::size_t text_bytes, std::vector<T>&... lists) {
  kept_bytes() -= large;
  large = 0;
  ((far_larger(bytes_of(lists), text_bytes) ? std::vector<T>().swap(lists) : void()), ...);
}

// Puts `v`, a buffer let go in the middle of a call, back in `home` when it is small: a large
// one is let go (see above: kept, it would stay beside what the rest of the call allocates).
template <class B>
void give_back_small(B& home, B& v) {
  if (bytes_of(v) <= kKeepBytes && bytes_of(v) > bytes_of(home)) {
    v.clear();
    home = std::move(v);
  }
}

// A buffer taken from `home` for the lifetime of this object, which ends in the middle of a
// call: only a small one is kept.
template <class T>
struct Buffer {
  explicit Buffer(std::vector<T>& h) : v(take_small(h)), home(h) {}
  ~Buffer() { give_back_small(home, v); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  std::vector<T> v;

 private:
  std::vector<T>& home;
};

// The thread's text buffers: a long text's copy in UTF-8 and the outputs of the passes over it.
using Texts = Homes<std::string>;

// A text buffer for a call on a text of `text_bytes` bytes (empty, with no room, for a short
// one). Only large text buffers are kept: a short text's goes with its result.
inline std::string text_buffer(std::size_t text_bytes) {
  if (text_bytes < kLongText) return std::string();
  return take(per_thread<Texts>(), text_bytes);
}

// Lets go of `s`, a text buffer the call is done with: a large one may serve the next call.
inline void recycle_text(std::string&& s) {
  if (s.capacity() <= kKeepBytes) return;
  std::string t = std::move(s);
  give_back(per_thread<Texts>(), t);
}

}  // namespace kestrix::recycled
