// The boundary toolkit: owning references, the instance layout of wrapped core values with
// its borrow flag, the argument binder, converters, type registry and error translation.
// Every entry point is written as
//     return guard([&]() -> PyObject* { ... });
// so that no C++ exception ever reaches the interpreter.
#pragma once
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "span/error.hpp"

namespace kestrix::py {

// ---- owning reference ---------------------------------------------------------------------

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---- errors --------------------------------------------------------------------------------

// Thrown inside entry points when a Python exception is already set; guard() returns NULL.
struct PyErrorSet {};

PyObject* span_map_error_type();  // created once, lazily
PyObject* internal_error_type();  // derives from BaseException

[[noreturn]] inline void throw_set() { throw PyErrorSet{}; }
// Sets SpanMapError with the core error's text and throws PyErrorSet.
[[noreturn]] void throw_core(const Error& e);
[[noreturn]] void throw_type_error(const std::string& msg);
[[noreturn]] void throw_value_error(const std::string& msg);
[[noreturn]] void throw_overflow_error(const std::string& msg);
[[noreturn]] void throw_runtime_error(const std::string& msg);

// Attaches the note "while processing '<param>'" to the pending exception.
void add_param_note(const char* param);

void raise_internal(const char* what) noexcept;
[[noreturn]] void debug_fail_boundary(PyObject* result) noexcept;

// Keyword arguments arrive in the caller's dict, and a caller may hand over a dict that Python
// code can reach and empty while a later argument is being converted (operator.methodcaller
// passes its own, reachable through its __reduce__). bind() therefore holds a reference to
// every keyword value until the entry point that bound it returns: guard() drops the
// references taken since it started. One stack per thread, because other threads may run
// while a conversion runs Python code.
std::size_t held_mark() noexcept;
void release_held(std::size_t mark) noexcept;

template <class F>
PyObject* guard_run(F&& f) noexcept {
  try {
    PyObject* r = f();
#ifndef NDEBUG
    // A result and a pending exception must never come together, nor both be missing.
    if ((r == nullptr) != (PyErr_Occurred() != nullptr)) debug_fail_boundary(r);
#endif
    return r;
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    raise_internal(e.what());
    return nullptr;
  } catch (...) {
    raise_internal("unknown C++ exception");
    return nullptr;
  }
}

template <class F>
PyObject* guard(F&& f) noexcept {
  const std::size_t mark = held_mark();
  PyObject* r = guard_run(std::forward<F>(f));
  release_held(mark);
  return r;
}

// Runs f() with the interpreter lock released, so that other threads run meanwhile, when the
// text is long enough for the work to outweigh letting the lock go and taking it back. f must
// not touch any Python object; what it reads must stay alive and unchanged without the lock
// (texts of str arguments, private copies of settings, values under a shared borrow). An
// exception from f passes on once the lock is held again.
inline constexpr std::size_t kUnlockBytes = 2048;

template <class F>
decltype(auto) unlocked(std::size_t bytes, F&& f) {
  if (bytes < kUnlockBytes) return f();
  struct Relock {
    PyThreadState* state;
    ~Relock() { PyEval_RestoreThread(state); }
  } relock{PyEval_SaveThread()};
  return f();
}

// For slots that return int (setters, __len__ via ssize_t, ...).
template <class R, class F>
R guard_int(F&& f, R fail) noexcept {
  try {
    return f();
  } catch (const PyErrorSet&) {
    return fail;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return fail;
  } catch (const std::exception& e) {
    raise_internal(e.what());
    return fail;
  } catch (...) {
    raise_internal("unknown C++ exception");
    return fail;
  }
}

// Returns r, or throws PyErrorSet when r is NULL (a Python exception is then set).
inline PyObject* check(PyObject* r) {
  if (!r) throw_set();
  return r;
}

// ---- types ---------------------------------------------------------------------------------

enum TypeId : int {
  T_Span,
  T_NormalizationCost,
  T_Segment,
  T_SourceSpan,
  T_SpanMap,
  T_SpanMapBuilder,
  T_Config,
  T_Normalized,
  T_ContextHit,
  T_Evidence,
  T_Finding,
  T_Rejection,
  T_Report,
  T_Policy,
  T_PolicySet,
  T_RestoreEntry,
  T_RestoreMap,
  T_MaskOutput,
  T_COUNT
};

// Class names in registration order.
extern const char* const type_names[T_COUNT];

// Creates all classes on first use (under the GIL), then returns the same objects for the
// process lifetime. Returns nullptr with an exception set if creation fails.
bool ensure_types();
PyTypeObject* type(TypeId id);  // requires ensure_types() to have succeeded

// Instance layout of every class: the core value plus a borrow flag
// (0 free, n > 0 shared borrows, -1 borrowed for writing).
template <class T>
struct Box {
  PyObject_HEAD
  T value;
  int borrow;
};

template <class T>
void box_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<Box<T>*>(self)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

// Allocates an instance of the class `id` holding `value` (the caller's Box<T> must match).
template <class T>
PyObject* make(TypeId id, T value) {
  PyTypeObject* tp = type(id);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* o = alloc(tp, 0);
  if (!o) throw_set();
  auto* box = reinterpret_cast<Box<T>*>(o);
  try {
    new (&box->value) T(std::move(value));
  } catch (...) {
    // Nothing was constructed: free the memory without running the destructor.
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(o);
    Py_DECREF(tp);
    throw;
  }
  box->borrow = 0;
  return o;
}

bool is_instance(PyObject* o, TypeId id);

// RAII borrows; a conflicting borrow raises RuntimeError.
template <class T>
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* o) : box_(reinterpret_cast<Box<T>*>(o)) {
    if (box_->borrow < 0) throw_runtime_error("Already mutably borrowed");
    ++box_->borrow;
  }
  ~SharedBorrow() { --box_->borrow; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  const T& value() const { return box_->value; }

 private:
  Box<T>* box_;
};

template <class T>
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* o) : box_(reinterpret_cast<Box<T>*>(o)) {
    if (box_->borrow != 0) throw_runtime_error("Already borrowed");
    box_->borrow = -1;
  }
  ~ExclusiveBorrow() { box_->borrow = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  T& value() const { return box_->value; }

 private:
  Box<T>* box_;
};

// ---- arguments -----------------------------------------------------------------------------

// Binds positional and keyword arguments to `names`; the first `required` names are
// required. out[i] receives a reference that stays valid until the enclosing guard() returns
// (keyword values are held, see held_mark()), or nullptr when absent or None
// (None for a required parameter is bound as None so its converter can refuse it).
// Raises the interpreter-style TypeError and throws PyErrorSet on a binding error.
void bind(const char* fname, PyObject* args, PyObject* kwargs,
          std::initializer_list<const char*> names, std::size_t required, PyObject** out);

// Converters. Each raises (keeping type and message, adding the parameter note) and throws
// PyErrorSet on failure.
std::string to_string(PyObject* o, const char* param);
std::string_view to_string_view(PyObject* o, const char* param);  // valid while o lives

// A text argument in UTF-8. A long non-ASCII str is encoded into a buffer of the call's own
// rather than asked for its UTF-8 form: CPython keeps that form cached on the str for the
// str's whole life, a second copy of the text the caller never asked for. With `consumed`,
// the buffer is `owned`, which a core call may take and let go as soon as its first pass has
// read it; otherwise it is `held`, a bytes object kept for the call. `view` is the text
// either way (valid while the argument, `owned` and `held` live untouched).
struct TextArg {
  std::string_view view;
  std::string owned;
  Ref held;
  bool is_owned = false;
};
TextArg to_text_arg(PyObject* o, const char* param, bool consumed);
// A str long enough, and not ASCII, for to_text_arg to encode it into a buffer of the call's own.
bool is_long_wide_text(PyObject* o);
std::uint32_t to_u32(PyObject* o, const char* param);
std::uint64_t to_u64(PyObject* o, const char* param);
bool to_bool(PyObject* o, const char* param);
float to_f32(PyObject* o, const char* param);
float narrow_f32(double d);  // IEEE rounding to float32, overflow to infinity
char32_t to_char(PyObject* o, const char* param);  // str of exactly one character
std::string to_bytes(PyObject* o, const char* param);  // bytes-like, never str
// Checks that o is an instance of class id (TypeError naming both types otherwise).
void expect_instance(PyObject* o, TypeId id, const char* param);
void expect_dict(PyObject* o, const char* param);

// ---- results -------------------------------------------------------------------------------

PyObject* new_str(std::string_view s);

// Builds the str of a rewritten text (masked or unmasked) from the str it was rewritten from.
// The unchanged stretches are substrings of the source str (copied in its own width), only the
// rewritten pieces are decoded from UTF-8 (a repeated one is reused), and one join makes the
// result: for a long non-ASCII text cheaper than decoding the whole result from UTF-8. `pays`
// tells when to use it.
class Rewriter {
 public:
  // Worth it for a text of some length with many characters beyond ASCII (ASCII decodes
  // from UTF-8 as a plain copy).
  static bool pays(std::string_view utf8, std::size_t chars);

  // `utf8` is the UTF-8 form of `source`, whose length in characters is `chars`.
  Rewriter(PyObject* source, std::string_view utf8, std::size_t chars);
  // Bytes [start, end) of `utf8` become `with` (valid UTF-8). Calls come in text order,
  // apart, on character boundaries.
  void rewrite(std::size_t start, std::size_t end, std::string_view with);
  // The same given the characters [start_char, end_char) of the source that those bytes hold
  // (and `end`): nothing is counted.
  void rewrite_chars(std::size_t start_char, std::size_t end_char, std::size_t end,
                     std::string_view with);
  // The whole text, as a new reference.
  PyObject* finish();

 private:
  void copy_source(std::size_t count);  // the next `count` characters of the source
  void append(PyObject* piece);  // steals
  PyObject* replacement(std::string_view with);  // new reference

  PyObject* source_;
  std::string_view utf8_;
  std::size_t chars_;
  std::size_t byte_ = 0, char_ = 0;  // source position reached
  std::array<std::pair<std::string_view, Ref>, 4> recent_;
  std::size_t next_recent_ = 0;
  Ref parts_;  // list of the pieces
};
PyObject* new_u64(std::uint64_t v);
PyObject* new_f32(float v);
PyObject* new_bool(bool v);
PyObject* none();
// A new list of str from a container of string-like values.
template <class C>
PyObject* new_str_list(const C& items) {
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  Py_ssize_t i = 0;
  for (const auto& s : items) {
    PyObject* item = new_str(s);
    PyList_SetItem(list.get(), i++, item);  // steals
  }
  return list.release();
}
// A new list of wrapped values of class id.
template <class T, class C>
PyObject* new_box_list(TypeId id, const C& items) {
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  Py_ssize_t i = 0;
  for (const auto& v : items) PyList_SetItem(list.get(), i++, make<T>(id, T(v)));
  return list.release();
}

// ---- pickling ------------------------------------------------------------------------------

// What a __reduce__ returns: (callable, (args...)), for pickle to rebuild the object by a call
// of a public constructor, factory or method, so that loading needs no private name. Takes the
// references of `args`.
template <class... A>
PyObject* reduce_call(PyObject* callable, A... args) {
  Ref tuple = Ref::steal(check(PyTuple_New(sizeof...(A))));
  [[maybe_unused]] Py_ssize_t i = 0;
  (PyTuple_SetItem(tuple.get(), i++, args.release()), ...);  // steals
  return check(PyTuple_Pack(2, callable, tuple.get()));
}

// The same with the callable `owner.name` (a static factory or a method of a class).
template <class... A>
PyObject* reduce_by(PyObject* owner, const char* name, A... args) {
  Ref fn = Ref::steal(check(PyObject_GetAttrString(owner, name)));
  return reduce_call(fn.get(), std::move(args)...);
}

inline PyObject* type_object(TypeId id) { return reinterpret_cast<PyObject*>(type(id)); }

// ---- module functions (defined by the layer files) ------------------------------------------

PyObject* fn_normalize(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_detect(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_mask(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_unmask(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_entity_names(PyObject* self, PyObject* args, PyObject* kwargs);

// Type specs, defined next to each class.
extern PyType_Spec spec_Span, spec_NormalizationCost, spec_Segment, spec_SourceSpan, spec_SpanMap,
    spec_SpanMapBuilder, spec_Config, spec_Normalized, spec_ContextHit, spec_Evidence, spec_Finding,
    spec_Rejection, spec_Report, spec_Policy, spec_PolicySet, spec_RestoreEntry, spec_RestoreMap,
    spec_MaskOutput;

// Flags shared by every class: immutable, not subclassable; classes without a constructor
// add Py_TPFLAGS_DISALLOW_INSTANTIATION.
constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned long kFlagsNoInit = kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// Casts a METH_VARARGS | METH_KEYWORDS function for a PyMethodDef.
#define KX_METH(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

}  // namespace kestrix::py
