#include "python/py.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "text/utf32.hpp"
#include "text/utf8.hpp"

namespace kestrix::py {

// ---- errors --------------------------------------------------------------------------------

namespace {
PyObject* g_span_map_error = nullptr;
PyObject* g_internal_error = nullptr;  // derives from BaseException
}  // namespace

PyObject* span_map_error_type() {
  if (!g_span_map_error) {
    g_span_map_error = PyErr_NewExceptionWithDoc(
        "kestrix.SpanMapError", "구간 정렬 테이블의 불변식이 깨졌거나 좌표계가 맞지 않는다.",
        PyExc_Exception, nullptr);
    if (!g_span_map_error) {
      PyErr_Clear();
      raise_internal("Failed to initialize new exception type.");
    }
  }
  return g_span_map_error;
}

void raise_internal(const char* what) noexcept {
  if (!g_internal_error)
    g_internal_error = PyErr_NewExceptionWithDoc(
        "kestrix.InternalError",
        "내부 불변식이 깨졌다. 라이브러리의 결함이며 입력 탓이 아니다.", PyExc_BaseException,
        nullptr);
  if (!g_internal_error) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(g_internal_error, what);
}

void debug_fail_boundary(PyObject* result) noexcept {
  std::fprintf(stderr, "kestrix: boundary returned %s %s a pending exception\n",
               result ? "a result" : "NULL", result ? "with" : "without");
  std::abort();
}

void throw_error(PyObject* type, const std::string& msg, const char* param) {
  // Messages may quote user text that holds NUL characters: pass the length, never a C string.
  // Without a type (SpanMapError could not be made) or a text, that error stays set.
  if (type) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    if (text) PyErr_SetObject(type, text.get());
  }
  if (param) add_param_note(param);
  throw PyErrorSet{};
}

void throw_core(const Error& e) { throw_error(span_map_error_type(), e.display()); }

void add_param_note(const char* param) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  std::string note = std::string("while processing '") + param + "'";
  if (value) {
    Ref r = Ref::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!r) PyErr_Clear();  // the original exception is kept rather than the note's failure
  }
  PyErr_Restore(type, value, tb);
}

// ---- types ---------------------------------------------------------------------------------

#define KX_NAME(Name) #Name,
const char* const type_names[T_COUNT] = {KX_CLASSES(KX_NAME)};
#undef KX_NAME

namespace {

// Type names point into these for the process lifetime.
#define KX_QUALIFIED(Name) "kestrix." #Name,
const char* const g_qualified[T_COUNT] = {KX_CLASSES(KX_QUALIFIED)};
#undef KX_QUALIFIED
#define KX_DEF(Name) &class_##Name,
const ClassDef* const g_defs[T_COUNT] = {KX_CLASSES(KX_DEF)};
#undef KX_DEF

PyTypeObject* g_types[T_COUNT] = {};

PyObject* create_type(int i) {
  const ClassDef& d = *g_defs[i];
  PyType_Slot slots[12];
  int k = 0;
  auto add = [&](int slot, auto* fn) {
    if (fn) slots[k++] = {slot, reinterpret_cast<void*>(fn)};
  };
  slots[k++] = {Py_tp_doc, const_cast<char*>(d.doc)};
  add(Py_tp_dealloc, d.dealloc);
  add(Py_tp_repr, d.repr);
  add(Py_tp_new, d.init);
  add(Py_mp_length, d.len);
  add(Py_sq_length, d.len);
  add(Py_tp_richcompare, d.compare);
  if (d.compare) add(Py_tp_hash, PyObject_HashNotImplemented);
  add(Py_tp_methods, d.methods);
  add(Py_tp_getset, d.getset);
  slots[k] = {0, nullptr};
  // Immutable and not subclassable; without a constructor, not instantiable either.
  unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!d.init) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec spec = {g_qualified[i], static_cast<int>(d.size), 0, static_cast<unsigned>(flags),
                      slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

bool ensure_types() {
  // Runs under the GIL; nothing in here releases it, so one thread creates the types.
  for (int i = 0; i < T_COUNT; ++i) {
    if (g_types[i]) continue;
    PyObject* t = create_type(i);
    if (!t) return false;
    g_types[i] = reinterpret_cast<PyTypeObject*>(t);
  }
  return true;
}

PyTypeObject* type(TypeId id) { return g_types[id]; }

bool is_instance(PyObject* o, TypeId id) {
  return o && PyObject_TypeCheck(o, g_types[id]);
}

// ---- arguments -----------------------------------------------------------------------------

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() > 2 ? ", " : " ";
    if (i + 1 == names.size() && names.size() > 1) s += "and ";
    s += std::string("'") + names[i] + "'";
  }
  return s;
}

constexpr std::size_t kMaxParams = 16;

// The binding shared by both call conventions: positional values, then each keyword through
// `next_keyword(key, value)` until it returns false. Messages are built only on the error
// paths: binding is on every call's hot path.
template <class Keywords>
void bind_common(const char* fname, PyObject* const* pos, Py_ssize_t given, Keywords next_keyword,
                 const char* const* names, std::size_t n, std::size_t required, Ref* out) {
  auto fn = [fname] { return std::string(fname) + "()"; };
  if (static_cast<std::size_t>(given) > n) {
    std::string takes;
    if (required == n)
      takes = std::to_string(n) + (n == 1 ? " positional argument" : " positional arguments");
    else
      takes = "from " + std::to_string(required) + " to " + std::to_string(n) +
              " positional arguments";
    throw_error(PyExc_TypeError, fn() + " takes " + takes + " but " + std::to_string(given) +
                                     (given == 1 ? " was" : " were") + " given");
  }
  if (n > kMaxParams) throw std::logic_error("too many parameters for the binder");
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = Ref::borrow(pos[i]);
  PyObject *key, *value;
  while (next_keyword(key, value)) {
    Py_ssize_t klen = 0;
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &klen) : nullptr;
    if (!k) {
      PyErr_Clear();
      throw_error(PyExc_TypeError, fn() + " keywords must be strings");
    }
    const std::string_view kv(k, static_cast<std::size_t>(klen));
    std::size_t idx = 0;
    while (idx < n && kv != names[idx]) ++idx;
    if (idx == n)
      throw_error(PyExc_TypeError, fn() + " got an unexpected keyword argument '" + std::string(kv) + "'");
    if (out[idx])
      throw_error(PyExc_TypeError, fn() + " got multiple values for argument '" + std::string(kv) + "'");
    out[idx] = Ref::borrow(value);
  }
  std::vector<const char*> missing;  // allocates only when one is missing
  for (std::size_t i = 0; i < required; ++i)
    if (!out[i]) missing.push_back(names[i]);
  if (!missing.empty())
    throw_error(PyExc_TypeError, fn() + " missing " + std::to_string(missing.size()) + " required positional " +
                                     (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
  // None means absent for optional parameters.
  for (std::size_t i = required; i < n; ++i)
    if (out[i].get() == Py_None) out[i] = Ref();
}

}  // namespace

void bind_into(const char* fname, const Call& call, const char* const* names, std::size_t n,
               std::size_t required, Ref* out) {
  const Py_ssize_t given = call.nargs;  // methods get the plain count, without the offset flag
  const Py_ssize_t kwcount = call.kwnames ? PyTuple_Size(call.kwnames) : 0;
  Py_ssize_t next = 0;
  bind_common(fname, call.args, given, [&](PyObject*& key, PyObject*& value) {
    if (next >= kwcount) return false;
    key = PyTuple_GetItem(call.kwnames, next);
    value = call.args[given + next++];
    return true;
  }, names, n, required, out);
}

void bind_into(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names,
               std::size_t n, std::size_t required, Ref* out) {
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) throw_set();
  // Items of the tuple, which lives for the call; only as many as can bind are gathered.
  PyObject* pos[kMaxParams];
  for (Py_ssize_t i = 0; i < given && static_cast<std::size_t>(i) < std::min(n, kMaxParams); ++i)
    pos[i] = PyTuple_GetItem(args, i);
  Py_ssize_t at = 0;
  bind_common(fname, pos, given, [&](PyObject*& key, PyObject*& value) {
    return kwargs && PyDict_Next(kwargs, &at, &key, &value);
  }, names, n, required, out);
}

namespace {

std::string type_name_of(PyObject* o) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  Py_ssize_t len = 0;
  const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), &len) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "object";
  }
  return std::string(s, static_cast<std::size_t>(len));
}

[[noreturn]] void fail_noted(const char* param) {
  add_param_note(param);
  throw PyErrorSet{};
}

// `o` (nullptr: None) is not of the type `expected`.
[[noreturn]] void wrong_type(PyObject* o, const char* expected, const char* param) {
  const std::string what = !o || o == Py_None ? "'None' is not" : "'" + type_name_of(o) + "' object is not";
  throw_error(PyExc_TypeError, what + " an instance of '" + expected + "'", param);
}

}  // namespace

std::string_view to_string_view(PyObject* o, const char* param) {
  if (!o || !PyUnicode_Check(o)) wrong_type(o, "str", param);
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) fail_noted(param);
  // Offsets are 32-bit: a longer UTF-8 form is refused.
  if (static_cast<unsigned long long>(len) > std::numeric_limits<std::uint32_t>::max())
    throw_error(PyExc_ValueError, "text of " + std::to_string(len) +
                                      " UTF-8 bytes is too long; at most 4294967295 bytes are supported", param);
  return {s, static_cast<std::size_t>(len)};
}

namespace {

// str.isascii looked up on str itself, so a subclass cannot answer for it; looked up per call
// (long texts only), so no object of one interpreter is kept for another. False on any error:
// the caller then takes the path that is right for every text.
bool is_ascii(PyObject* s) {
  Ref r = Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                         "isascii", "O", s));
  if (!r) {
    PyErr_Clear();
    return false;
  }
  return r.get() == Py_True;
}

// Below this many characters the cached form costs little and repeated calls reuse it.
constexpr Py_ssize_t kOwnedTextChars = Py_ssize_t{1} << 14;

}  // namespace

bool is_long_wide_text(PyObject* o) {
  const Py_ssize_t chars = o && PyUnicode_Check(o) ? PyUnicode_GetLength(o) : 0;
  return chars >= kOwnedTextChars && chars <= Py_ssize_t{std::numeric_limits<std::uint32_t>::max()} &&
         !is_ascii(o);
}

// The UTF-8 form of the long str `o` into `out`, read a piece at a time: CPython copies a
// piece's code points out at memory speed, where its UTF-16 encoder takes a branch per
// character and a buffer as long as the text. False, with no error set and `out` emptied, when
// there is none (a surrogate) or it is longer than 32-bit offsets reach.
static bool utf8_by_pieces(PyObject* o, std::string& out) {
  static_assert(sizeof(Py_UCS4) == sizeof(char32_t));
  const auto chars = static_cast<std::size_t>(PyUnicode_GetLength(o));
  out = recycled::text_buffer(3 * chars);  // the room it reserves (see to_utf8_by_pieces)
  const auto read = [o](std::size_t at, std::size_t n, char32_t* points) {
    const auto from = static_cast<Py_ssize_t>(at), count = static_cast<Py_ssize_t>(n);
    Ref piece = Ref::steal(PyUnicode_Substring(o, from, from + count));
    if (piece && PyUnicode_AsUCS4(piece.get(), reinterpret_cast<Py_UCS4*>(points), count, 0)) return true;
    PyErr_Clear();
    return false;
  };
  return utf32::to_utf8_by_pieces(chars, read, out);
}

TextArg to_text_arg(PyObject* o, const char* param, bool consumed) {
  TextArg t;
  // Only `t.owned` outlives the call. Without a UTF-8 form of its own in reach, the str's is
  // asked for, which raises what it raises.
  if (is_long_wide_text(o) && utf8_by_pieces(o, t.owned)) {
    t.view = t.owned;
    t.is_owned = consumed;
    return t;
  }
  t.view = to_string_view(o, param);
  return t;
}

PyObject* new_str(std::string_view s) {
  // CPython decodes UTF-8 into a str of one byte per character, widens it at the first
  // character past ASCII and shrinks it to size at the end: for a short text with Hangul in it
  // (a masked message) most of the work. Such a text is decoded here into code points, from
  // which CPython makes the str at its final width at once. ASCII is a copy either way.
  constexpr std::size_t kShort = 1024;
  if constexpr (sizeof(wchar_t) >= sizeof(char32_t)) {
    if (s.size() <= kShort && utf8::ascii_prefix(s) < s.size()) {
      wchar_t units[kShort];
      const std::size_t n = utf8::decode_all(s, units);
      if (n != SIZE_MAX) return check(PyUnicode_FromWideChar(units, static_cast<Py_ssize_t>(n)));
    }
  }
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

std::uint64_t to_u64(PyObject* o, const char* param) {
  if (!o || !PyIndex_Check(o)) wrong_type(o, "int", param);
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) fail_noted(param);
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_noted(param);
  return v;
}

std::uint32_t to_u32(PyObject* o, const char* param) {
  std::uint64_t v = to_u64(o, param);
  if (v > std::numeric_limits<std::uint32_t>::max())
    throw_error(PyExc_OverflowError, "out of range integral type conversion attempted", param);
  return static_cast<std::uint32_t>(v);
}

bool to_bool(PyObject* o, const char* param) {
  if (!o || !PyBool_Check(o)) wrong_type(o, "bool", param);
  return o == Py_True;
}

char32_t to_char(PyObject* o, const char* param) {
  if (!o || !PyUnicode_Check(o)) wrong_type(o, "str", param);
  Py_ssize_t n = PyUnicode_GetLength(o);
  if (n < 0) fail_noted(param);
  if (n != 1) throw_error(PyExc_ValueError, "expected a string of length 1", param);
  Py_UCS4 c = PyUnicode_ReadChar(o, 0);
  if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) fail_noted(param);
  if (c >= 0xD800 && c <= 0xDFFF) throw_error(PyExc_ValueError, "a lone surrogate is not a character", param);
  return static_cast<char32_t>(c);
}

std::string to_bytes(PyObject* o, const char* param) {
  if (!o || PyUnicode_Check(o)) wrong_type(o, "bytes", param);
  if (PyBytes_Check(o)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(o, &data, &len) < 0) fail_noted(param);
    return std::string(data, static_cast<std::size_t>(len));
  }
  if (PyByteArray_Check(o))
    return std::string(PyByteArray_AsString(o), static_cast<std::size_t>(PyByteArray_Size(o)));
  if (!PySequence_Check(o)) wrong_type(o, "bytes", param);
  Ref seq = Ref::steal(PySequence_List(o));  // a private copy: items cannot change under us
  if (!seq) fail_noted(param);
  Py_ssize_t n = PyList_Size(seq.get());
  std::string out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::borrow(PyList_GetItem(seq.get(), i));
    if (!PyLong_Check(item.get())) wrong_type(item.get(), "int", param);
    long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) fail_noted(param);
    // Not a sequence of byte values at all: a type error, like any other non-bytes key.
    if (v < 0 || v > 255) throw_error(PyExc_TypeError, "byte must be in range(0, 256)", param);
    out.push_back(static_cast<char>(v));
  }
  return out;
}

float to_finite_f32(PyObject* o, const char* param, const char* name) {
  if (!o) wrong_type(o, "float", param);
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) fail_noted(param);
  // Rounded to the nearest float32 as IEEE arithmetic does (converting an out-of-range double
  // would be undefined): from halfway between the largest float and 2^128 on, to infinity.
  constexpr double kMax = std::numeric_limits<float>::max();
  if (std::isnan(d) || std::abs(d) >= 0x1.ffffffp+127)
    throw_error(PyExc_ValueError,
                std::string(name) + " must be a finite number, not " + (std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf"),
                param);
  return static_cast<float>(std::clamp(d, -kMax, kMax));
}

void refuse_delete(const char* cls, const char* name) {
  throw_error(PyExc_TypeError, std::string("cannot delete ") + cls + " attribute '" + name + "'");
}

void expect_instance(PyObject* o, TypeId id, const char* param) {
  if (!is_instance(o, id)) wrong_type(o, type_names[id], param);
}

void expect_dict(PyObject* o, const char* param) {
  if (!o || !PyDict_Check(o)) wrong_type(o, "dict", param);
}

}  // namespace kestrix::py
