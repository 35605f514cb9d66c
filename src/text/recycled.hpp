// Working buffers kept per thread from call to call, so that a short text allocates none of
// them. A use takes the thread's buffer out of its home (leaving an empty one, so that a use
// nested inside it starts afresh) and puts it back cleared when done; a buffer that a long
// text grew past kKeepBytes is let go instead, so that a thread holds a few small buffers at
// most. Each thread has its own homes: calls that run at once on several threads share none.
#pragma once
#include <cstddef>
#include <utility>
#include <vector>

namespace kestrix::recycled {

inline constexpr std::size_t kKeepBytes = std::size_t{16} << 10;

// The thread's buffer from `home`, empty (its capacity kept).
template <class T>
std::vector<T> take(std::vector<T>& home) {
  std::vector<T> v = std::move(home);
  home = std::vector<T>();
  v.clear();
  return v;
}

// Puts `v` back in `home`, unless it is too large to keep or `home` holds as large a buffer
// already (`v` is then let go by its owner).
template <class T>
void give_back(std::vector<T>& home, std::vector<T>& v) {
  if (v.capacity() * sizeof(T) > kKeepBytes || v.capacity() <= home.capacity()) return;
  v.clear();
  home = std::move(v);
}

// Empties `v`, keeping its buffer unless it is too large to keep.
template <class T>
[[gnu::always_inline]] inline void trim(std::vector<T>& v) {
  if (v.capacity() * sizeof(T) > kKeepBytes) [[unlikely]]
    std::vector<T>().swap(v);
  else
    v.clear();
}

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

// A buffer taken from `home` for the lifetime of this object.
template <class T>
struct Buffer {
  explicit Buffer(std::vector<T>& h) : v(take(h)), home(h) {}
  ~Buffer() { give_back(home, v); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  std::vector<T> v;

 private:
  std::vector<T>& home;
};

}  // namespace kestrix::recycled
