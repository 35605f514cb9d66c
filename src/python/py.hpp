// The boundary toolkit: the class table, instances and shared results, the binder and the
// converters, generic members, error translation. src/python/README.md ("How the boundary
// works") says how they fit together: read it before touching src/python.
#pragma once
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "span/error.hpp"
#include "text/recycled.hpp"

// The core values the toolkit itself names: the children (kClassOf), the settings and rule lists.
#define KX_CHILDREN(X)                                                                      \
  X(Span) X(NormalizationCost) X(Segment) X(SpanMap) X(ContextHit) X(Finding) X(Rejection) \
  X(RestoreEntry) X(RestoreMap)
namespace kestrix {
#define KX_DECLARE(Name) struct Name;
KX_CHILDREN(KX_DECLARE)
#undef KX_DECLARE
struct Config;
class RuleList;
class RuleSeq;
}  // namespace kestrix

namespace kestrix::py {

// ---- owning reference ---------------------------------------------------------------------

struct Decref {
  void operator()(PyObject* p) const { Py_DECREF(p); }
};

// Made by steal() or borrow(); get(), release() (hands the reference on) and the rest of
// unique_ptr.
class Ref : public std::unique_ptr<PyObject, Decref> {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

 private:
  explicit Ref(PyObject* p) : unique_ptr(p) {}
};

// ---- errors --------------------------------------------------------------------------------

// Thrown inside entry points when a Python exception is already set; guard() returns NULL.
struct PyErrorSet {};

PyObject* span_map_error_type();  // created once, lazily

[[noreturn]] inline void throw_set() { throw PyErrorSet{}; }
// Sets the exception `type` (PyExc_ValueError, ...) with `msg`, and the note of the parameter
// `param` when given, and throws PyErrorSet.
[[noreturn]] void throw_error(PyObject* type, const std::string& msg, const char* param = nullptr);
// Sets SpanMapError with the core error's text and throws PyErrorSet.
[[noreturn]] void throw_core(const Error& e);

// The value of a core result: a core Error raises SpanMapError, a message ValueError (with the
// note of `param` when given).
template <class T, class E>
T ok(std::expected<T, E>&& r, const char* param = nullptr) {
  if (!r) {
    if constexpr (std::is_same_v<E, Error>)
      throw_core(r.error());
    else
      throw_error(PyExc_ValueError, r.error(), param);
  }
  if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// Attaches the note "while processing '<param>'" to the pending exception.
void add_param_note(const char* param);

void raise_internal(const char* what) noexcept;
[[noreturn]] void debug_fail_boundary(PyObject* result) noexcept;

// Runs f() and returns its result; on any exception returns `fail` with a Python exception set.
template <class R = PyObject*, class F>
R guard(F&& f, R fail = nullptr) noexcept {
  try {
    R r = f();
#ifndef NDEBUG
    // A result and a pending exception must never come together, nor both be missing.
    if constexpr (std::is_pointer_v<R>)
      if ((r == nullptr) != (PyErr_Occurred() != nullptr)) debug_fail_boundary(r);
#endif
    return r;
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown C++ exception");
  }
  return fail;
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

// Returns r, or throws PyErrorSet when r is NULL (a Python exception is then set).
inline PyObject* check(PyObject* r) {
  if (!r) throw_set();
  return r;
}

// ---- the class table -----------------------------------------------------------------------

// Every class, in registration order.
#define KX_CLASSES(X)                                                                        \
  X(Span) X(NormalizationCost) X(Segment) X(SourceSpan) X(SpanMap) X(SpanMapBuilder) X(Config) \
  X(Normalized) X(ContextHit) X(Evidence) X(Finding) X(Rejection) X(Report) X(Policy)          \
  X(PolicySet) X(RestoreEntry) X(RestoreMap) X(MaskOutput)

enum TypeId : int {
#define KX_ENUM(Name) T_##Name,
  KX_CLASSES(KX_ENUM)
#undef KX_ENUM
  T_COUNT
};

extern const char* const type_names[T_COUNT];

// One class: what its heap type is made from. Missing slots are left out of the type.
struct ClassDef {
  const char* doc;
  std::size_t size;     // of the instance: sizeof(Box<T>)
  destructor dealloc;   // box_dealloc<T>
  reprfunc repr;
  newfunc init = nullptr;  // the constructor; without it the class cannot be instantiated
  lenfunc len = nullptr;
  richcmpfunc compare = nullptr;  // with it, instances are unhashable
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getset = nullptr;
};

// The layout fields of a ClassDef for instances holding a T, and its repr: by default the
// core's describe() of the value (see repr).
#define KX_BOX_REPR(T, r) .size = sizeof(Box<T>), .dealloc = box_dealloc<T>, .repr = r
#define KX_BOX(T) KX_BOX_REPR(T, repr<T>)

#define KX_DECLARE(Name) extern const ClassDef class_##Name;
KX_CLASSES(KX_DECLARE)
#undef KX_DECLARE

// Creates all classes on first use (under the GIL), then returns the same objects for the
// process lifetime. Returns false with an exception set if creation fails.
bool ensure_types();
PyTypeObject* type(TypeId id);  // requires ensure_types() to have succeeded
bool is_instance(PyObject* o, TypeId id);

// ---- instances -----------------------------------------------------------------------------

// Classes whose value changes after creation; every other value is immutable and shared.
template <class T>
inline constexpr bool kMutable = false;
template <>
inline constexpr bool kMutable<Config> = true;

template <class T>
using Held = std::conditional_t<kMutable<T>, T, std::shared_ptr<const T>>;

// Instance layout of every class. `borrow` is used by mutable values only
// (0 free, n > 0 shared borrows, -1 borrowed for writing).
template <class T>
struct Box {
  PyObject_HEAD
  Held<T> value;
  int borrow;
};

template <class T>
void box_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Box<T>*>(self)->value);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

template <class T>
Held<T>& held(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

// The value of an immutable instance (mutable ones are read through SharedBorrow).
template <class T>
const T& unbox(PyObject* o) {
  static_assert(!kMutable<T>);
  return *held<T>(o);
}

// Allocates an instance of class `id` holding `value` (the class's Box<T> must match).
template <class T>
PyObject* make_held(TypeId id, Held<T> value) {
  PyTypeObject* tp = type(id);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* o = alloc(tp, 0);
  if (!o) throw_set();
  auto* box = reinterpret_cast<Box<T>*>(o);
  // Moving a shared pointer or a mutable value cannot throw.
  static_assert(std::is_nothrow_move_constructible_v<Held<T>>);
  new (&box->value) Held<T>(std::move(value));
  box->borrow = 0;
  return o;
}

// A new instance of class `id` owning `value`.
template <class T>
PyObject* make(TypeId id, T value) {
  if constexpr (kMutable<T>)
    return make_held<T>(id, std::move(value));
  else
    return make_held<T>(id, std::make_shared<const T>(std::move(value)));
}

// A new instance of class `id` owning `value`, an immutable result that holds large buffers
// (a text, a map): once the last reference to it goes, `recycle` hands them to the homes of the
// thread that let go of it (see recycled.hpp), where the next call on a long text finds them.
template <class T, void (*recycle)(T&)>
PyObject* make_recycling(TypeId id, T value) {
  struct Holder {
    T value;
    ~Holder() { recycle(value); }
  };
  auto holder = std::make_shared<Holder>(std::move(value));
  return make_held<T>(id, std::shared_ptr<const T>(holder, &holder->value));
}

// A new instance of class `id` for `piece`, a part of the value `owner` points to: it shares
// (and keeps alive) the owner's value.
template <class T, class O>
PyObject* part(TypeId id, const std::shared_ptr<const O>& owner, const T& piece) {
  return make_held<T>(id, std::shared_ptr<const T>(owner, &piece));
}

// RAII borrows of a mutable value, shared for reading or exclusive for writing; a conflicting
// borrow raises RuntimeError.
template <class T, bool Write>
class Borrow {
 public:
  explicit Borrow(PyObject* o) : box_(reinterpret_cast<Box<T>*>(o)) {
    if (Write ? box_->borrow != 0 : box_->borrow < 0)
      throw_error(PyExc_RuntimeError, Write ? "Already borrowed" : "Already mutably borrowed");
    box_->borrow = Write ? -1 : box_->borrow + 1;
  }
  ~Borrow() { box_->borrow = Write ? 0 : box_->borrow - 1; }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  std::conditional_t<Write, T&, const T&> value() const { return box_->value; }

 private:
  Box<T>* box_;
};
template <class T>
using SharedBorrow = Borrow<T, false>;
template <class T>
using ExclusiveBorrow = Borrow<T, true>;

// Calls f with the value of self: under a shared borrow for a mutable class.
template <class T, class F>
decltype(auto) reading(PyObject* self, F&& f) {
  if constexpr (kMutable<T>) {
    SharedBorrow<T> b(self);
    return f(b.value());
  } else {
    return f(unbox<T>(self));
  }
}

// ---- arguments -----------------------------------------------------------------------------

// The arguments of a METH_FASTCALL | METH_KEYWORDS call.
struct Call {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;  // tuple of keyword names, their values follow the positional ones
};

// The arguments of the function being defined (see KX_FAST).
#define KX_CALL ::kestrix::py::Call{args, nargs, kwnames}

// The bound arguments: a reference to each, owned until the Args goes away; nullptr when
// absent or None (None for a required parameter is kept, so its converter refuses it).
template <std::size_t N>
struct Args {
  std::array<Ref, N> refs;
  PyObject* operator[](std::size_t i) const { return refs[i].get(); }
};

// Matches a call to `names`, the first `required` (bind<Required>) of them required; raises the interpreter's
// TypeError (and throws PyErrorSet) for a missing, surplus, unknown or repeated argument.
void bind_into(const char* fname, const Call& call, const char* const* names, std::size_t n,
               std::size_t required, Ref* out);
// The same for a call through an argument tuple and keyword dict (constructors).
void bind_into(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names,
               std::size_t n, std::size_t required, Ref* out);

template <std::size_t Required, std::size_t N, class... C>
Args<N> bind(const char* fname, const char* const (&names)[N], C... call) {
  static_assert(Required <= N, "more required parameters than parameters");
  Args<N> out;
  bind_into(fname, call..., names, N, Required, out.refs.data());
  return out;
}
// A call that takes no arguments.
template <class... C>
void bind_none(const char* fname, C... call) {
  bind_into(fname, call..., nullptr, 0, 0, nullptr);
}

// Converters. Each raises (keeping type and message, adding the parameter note) and throws
// PyErrorSet on failure.
std::string_view to_string_view(PyObject* o, const char* param);  // valid while o lives
inline std::string to_string(PyObject* o, const char* param) { return std::string(to_string_view(o, param)); }

// A text argument in UTF-8. A long non-ASCII str is transcoded into a buffer of the call's
// own (from its code points) rather than asked for its UTF-8 form: that is faster, and CPython
// would keep the UTF-8 form cached on the str for its whole life, a copy nobody asked for. With `consumed`, `is_owned` says that a
// core call may take `owned` and let it go as soon as its first pass has read it. `view` is
// the text either way (valid while the argument and `owned` live untouched).
struct TextArg {
  TextArg() = default;
  TextArg(TextArg&&) = default;
  TextArg& operator=(TextArg&&) = default;
  // A buffer not consumed serves the thread's next long text (see recycled.hpp).
  ~TextArg() { recycled::recycle_text(std::move(owned)); }

  std::string_view view;
  std::string owned;
  bool is_owned = false;
};
TextArg to_text_arg(PyObject* o, const char* param, bool consumed);
// A str long enough, and not ASCII, for to_text_arg to encode it into a buffer of the call's own.
bool is_long_wide_text(PyObject* o);
std::uint32_t to_u32(PyObject* o, const char* param);
std::uint64_t to_u64(PyObject* o, const char* param);
bool to_bool(PyObject* o, const char* param);
char32_t to_char(PyObject* o, const char* param);  // str of exactly one character
std::string to_bytes(PyObject* o, const char* param);  // bytes-like, never str
float to_finite_f32(PyObject* o, const char* param, const char* name);  // ValueError if not finite
// The span of the arguments (text, char_start, char_end) whose text parameter is `text_param`;
// the core's refusal of the range becomes ValueError.
Span char_range_arg(const Args<3>& a, const char* text_param);
// Checks that o is an instance of class id (TypeError naming both types otherwise).
void expect_instance(PyObject* o, TypeId id, const char* param);
void expect_dict(PyObject* o, const char* param);

// ---- results -------------------------------------------------------------------------------

// The str of the UTF-8 text s (a UnicodeDecodeError where it is not valid).
PyObject* new_str(std::string_view s);
inline PyObject* new_u64(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline PyObject* new_f32(float v) { return check(PyFloat_FromDouble(static_cast<double>(v))); }
inline PyObject* new_bool(bool v) { return check(PyBool_FromLong(v ? 1 : 0)); }
inline PyObject* none() { Py_RETURN_NONE; }

// The class that shows a core value of type T as a child of another: the class of its name.
template <class T>
inline constexpr TypeId kClassOf = T_COUNT;
#define KX_CLASS_OF(Name) \
  template <>             \
  inline constexpr TypeId kClassOf<Name> = T_##Name;
KX_CHILDREN(KX_CLASS_OF)
#undef KX_CLASS_OF

template <class O, class V>
PyObject* to_py(const O& owner, const V& v);

// A new list of to_py(owner, item) for each item of a container.
template <class O, class C>
PyObject* new_list(const O& owner, const C& items) {
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  Py_ssize_t i = 0;
  for (const auto& item : items) PyList_SetItem(list.get(), i++, to_py(owner, item));  // steals
  return list.release();
}

// The Python value of a member `v` of the value `owner` points to (owner is unused, and may be
// anything, for scalars): numbers, strings, lists (vectors, rule lists), optionals (None when
// empty) and core values with a class, which become children.
template <class O, class V>
PyObject* to_py(const O& owner, const V& v) {
  if constexpr (std::is_same_v<V, bool>)
    return new_bool(v);
  else if constexpr (std::is_integral_v<V>)
    return new_u64(v);
  else if constexpr (std::is_same_v<V, float>)
    return new_f32(v);
  else if constexpr (std::is_convertible_v<const V&, std::string_view>)
    return new_str(v);
  else if constexpr (kClassOf<V> != T_COUNT)
    return part(kClassOf<V>, owner, v);
  else if constexpr (std::ranges::range<V>)
    return new_list(owner, v);
  else
    return v ? to_py(owner, *v) : none();
}

template <class M>
struct MemberOf;
template <class C, class V>
struct MemberOf<V C::*> {
  using Class = C;
  using Value = V;
};

// A getter reading the member M of the class's value.
template <auto M>
PyObject* field(PyObject* self, void*) {
  using C = typename MemberOf<decltype(M)>::Class;
  return guard([&]() -> PyObject* {
    if constexpr (kMutable<C>)
      return reading<C>(self, [](const C& v) { return to_py(0, v.*M); });
    else
      return to_py(held<C>(self), held<C>(self).get()->*M);
  });
}

// A getter computing fn(value) (or fn(shared pointer) when fn takes that).
template <class T, auto Fn>
PyObject* get(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    if constexpr (std::is_invocable_v<decltype(Fn), const T&>)
      return reading<T>(self, [](const T& v) { return Fn(v); });
    else
      return Fn(held<T>(self));
  });
}

// __repr__ from fn(value) -> std::string: by default the value's describe() of the core.
template <class T, auto Fn = [](const T& v) { return describe(v); }>
PyObject* repr(PyObject* self) {
  return guard([&]() -> PyObject* { return reading<T>(self, [](const T& v) { return new_str(Fn(v)); }); });
}

// __len__: the size of the member M.
template <auto M>
Py_ssize_t length(PyObject* self) {
  using C = typename MemberOf<decltype(M)>::Class;
  return static_cast<Py_ssize_t>((unbox<C>(self).*M).size());
}

// A method without parameters computing fn(value), fn(self) or fn(); `name` is the method's.
template <std::size_t N>
struct Name {
  constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
  char text[N];
};
template <class T, auto Fn, Name name>
PyObject* method0(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    bind_none(name.text, KX_CALL);
    if constexpr (std::is_invocable_v<decltype(Fn)>)
      return Fn();
    else if constexpr (std::is_invocable_v<decltype(Fn), PyObject*>)
      return Fn(self);
    else
      return reading<T>(self, [](const T& v) { return Fn(v); });
  });
}

// The str of a value's JSON form, from write_json or another write function.
template <class T, auto Write = [](std::string& out, const T& v) { write_json(out, v); }>
PyObject* json_of(const T& v) {
  std::string out;
  Write(out, v);
  return new_str(out);
}

// A setting's value (the parameter is `value`), by the setting's type; `name` is the setting's.
template <class V>
V from_py(PyObject* o, const char* name) {
  if constexpr (std::is_same_v<V, bool>)
    return to_bool(o, "value");
  else if constexpr (std::is_same_v<V, float>)
    return to_finite_f32(o, "value", name);
  else if constexpr (std::is_same_v<V, std::uint32_t>)
    return to_u32(o, "value");
  else
    return to_u64(o, "value");
}

// A setter of the setting M through its converter; a setting cannot be deleted.
[[noreturn]] void refuse_delete(const char* cls, const char* name);
template <auto M>
int set_field(PyObject* self, PyObject* value, void* closure) {
  using C = typename MemberOf<decltype(M)>::Class;
  using V = typename MemberOf<decltype(M)>::Value;
  return guard<int>([&] {
    const char* name = static_cast<const char*>(closure);
    if (!value) refuse_delete(type_names[T_Config], name);
    // Convert before borrowing: the conversion may run Python code that reads this object.
    V v = from_py<V>(value, name);
    ExclusiveBorrow<C>(self).value().*M = v;
    return 0;
  }, -1);
}

// The entity of a value that has one, by name and by label (getters).
PyObject* entity_of(const auto& v) { return new_str(entity_name(v.entity)); }
PyObject* label_of(const auto& v) { return new_str(entity_label(v.entity)); }

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

#define KX_FAST(name) PyObject* name([[maybe_unused]] PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
// Defines KX_FAST(name), the function or method `fname` with the parameters `...` (the first
// `Required` of them required). Its body runs inside guard(), with `self` and the arguments
// bound (bind) as `a`.
#define KX_FN(name, Required, fname, ...)                                                            \
  PyObject* name##_body(PyObject* self, const auto& a);                                             \
  KX_FAST(name) {                                                                                   \
    return guard([&] { return name##_body(self, bind<Required>(fname, {__VA_ARGS__}, KX_CALL)); }); \
  }                                                                                                 \
  PyObject* name##_body([[maybe_unused]] PyObject* self, const auto& a)
KX_FAST(fn_normalize);
KX_FAST(fn_detect);
KX_FAST(fn_mask);
KX_FAST(fn_unmask);
PyObject* entity_name_list();

// The settings of a call: a copy of `config` (read under a shared borrow), or the defaults
// when it is absent.
Config config_arg(PyObject* config);

// The value of the core's work on the arguments (text, config) of normalize or detect, without
// the interpreter lock for a long text. Of the core's two overloads, one reads the text and the
// other takes it over: that one gets a copy the call owns.
template <class R>
R on_text(const auto& a, std::expected<R, Error> (*reads)(std::string_view, const Config&),
          std::expected<R, Error> (*takes)(std::string&&, const Config&)) {
  TextArg text = to_text_arg(a[0], "text", true);
  const auto config = config_arg(a[1]);  // the core reads this copy
  return ok(unlocked(text.view.size(), [&] {
    return text.is_owned ? takes(std::move(text.owned), config) : reads(text.view, config);
  }));
}

// Casts a METH_FASTCALL | METH_KEYWORDS function for a PyMethodDef.
#define KX_METH(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))
constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;
constexpr int kStatic = kMethod | METH_STATIC;

// The member tables' entries: a method, a static method, a getter, a setting.
#define KX_M(name, f, doc) {name, KX_METH(f), ::kestrix::py::kMethod, doc}
#define KX_S(name, f, doc) {name, KX_METH(f), ::kestrix::py::kStatic, doc}
// A method without parameters of class T, through method0.
#define KX_M0(name, T, f, doc) KX_M(name, (method0<T, f, name>), doc)
#define KX_S0(name, T, f, doc) KX_S(name, (method0<T, f, name>), doc)
// to_json($self) of class T, through json_of<T> or json_of<T, Write>.
#define KX_JSON(doc, T, ...) KX_M0("to_json", T, (json_of<T __VA_OPT__(, ) __VA_ARGS__>), doc)
#define KX_G(name, f, doc) {name, f, nullptr, doc, nullptr}
// The member m of class T's value, and the setting m of Config, by their own names.
#define KX_F(T, m, doc) KX_G(#m, field<&T::m>, doc)
#define KX_SET(m, doc) {#m, field<&Config::m>, set_field<&Config::m>, doc, const_cast<char*>(#m)}
#define KX_END {}

// The method table of a class whose one method is to_json($self) (`doc` its docstring).
template <class T, Name doc, auto... Write>
PyMethodDef json_methods[] = {KX_M0("to_json", T, (json_of<T, Write...>), doc.text), KX_END};

}  // namespace kestrix::py
