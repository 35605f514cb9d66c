// Policy, PolicySet, RestoreEntry, RestoreMap, MaskOutput, mask() and unmask().
#include <algorithm>
#include <array>
#include <span>

#include "detect/detect.hpp"
#include "mask/describe.hpp"
#include "mask/mask.hpp"
#include "mask/policy.hpp"
#include "mask/restore.hpp"
#include "normalize/config.hpp"
#include "python/py.hpp"
#include "text/bytes.hpp"
#include "text/utf8.hpp"

namespace kestrix::py {
namespace {

// ---- Policy --------------------------------------------------------------------------------

// A static constructor without parameters.
template <Policy (*Make)()>
PyObject* make_policy() { return make(T_Policy, Make()); }

KX_FN(policy_redact_fill, 1, "redact_fill", "fill") { return make(T_Policy, Policy::redact_fill(to_char(a[0], "fill"))); }
KX_FN(policy_redact_fixed, 1, "redact_fixed", "text") { return make(T_Policy, Policy::redact_fixed(to_string(a[0], "text"))); }

KX_FN(policy_partial, 2, "partial", "keep_prefix", "keep_suffix", "fill") {
  const std::uint64_t prefix = to_u64(a[0], "keep_prefix");
  const std::uint64_t suffix = to_u64(a[1], "keep_suffix");
  const char32_t fill = a[2] ? to_char(a[2], "fill") : U'*';
  return make(T_Policy, Policy::partial(prefix, suffix, fill));
}

KX_FN(policy_hash, 1, "hash", "key", "length") {
  std::string key = to_bytes(a[0], "key");
  const std::uint64_t length = a[1] ? to_u64(a[1], "length") : 12;
  return make(T_Policy, Policy::hash(std::move(key), length));
}

// Pickled as a call of the factory that made it, the key and the fixed text included: a
// pickle of a policy is as secret as the policy.
PyObject* policy_reduce(const Policy& p) {
  const std::string factory(policy_kind_name(p));
  auto by = [&](auto... args) { return reduce_by(type_object(T_Policy), factory.c_str(), std::move(args)...); };
  auto fill = [&] { return Ref::steal(check(PyUnicode_FromOrdinal(static_cast<int>(p.fill)))); };
  switch (p.kind) {
    case PolicyKind::partial:
      return by(Ref::steal(new_u64(p.keep_prefix)), Ref::steal(new_u64(p.keep_suffix)), fill());
    case PolicyKind::hash:
      return by(Ref::steal(check(PyBytes_FromStringAndSize(p.key.data(), static_cast<Py_ssize_t>(p.key.size())))),
                Ref::steal(new_u64(p.length)));
    case PolicyKind::redact:
      if (p.redact == RedactKind::fill) return by(fill());
      if (p.redact == RedactKind::fixed) return by(Ref::steal(new_str(p.text)));
      break;
    case PolicyKind::tokenize:
      break;
  }
  return by();
}

PyMethodDef policy_methods[] = {
    KX_S0("redact_label", Policy, make_policy<Policy::redact_label>,
     "redact_label()\n--\n\n**한국어** 이름을 대괄호로 감싼 자리표시자로 통째 치환한다. "
     "`[주민등록번호]`"),
    KX_S0("redact_code", Policy, make_policy<Policy::redact_code>,
     "redact_code()\n--\n\n**영문 대문자** 이름으로 통째 치환한다. `[CREDIT_CARD]`\n\n산출물에 "
     "한국어가 섞이면 안 되는 경우에 쓴다. 이 라이브러리는 한국어 특화지만\n쓰는 사람까지 "
     "한국어 사용자인 것은 아니다."),
    KX_S("redact_fill", policy_redact_fill, "redact_fill(fill)\n--\n\n원문 **문자 수**만큼 같은 문자를 반복한다."),
    KX_S("redact_fixed", policy_redact_fixed, "redact_fixed(text)\n--\n\n고정 문자열로 바꾼다. 길이도 종류도 남기지 "
     "않는다."),
    KX_S("partial", policy_partial, "partial(keep_prefix, keep_suffix, fill='*')\n--\n\n앞뒤 일부만 남기고 가운데를 "
     "덮는다. 자릿수는 문자 기준이다."),
    KX_S("hash", policy_hash, "hash(key, length=12)\n--\n\n결정적 가명화. 같은 값은 항상 같은 토큰이 되어 연결성 "
     "분석이 가능하다.\n\n`hash` 기능 플래그를 켠 빌드에서만 존재한다."),
    KX_S0("tokenize", Policy, make_policy<Policy::tokenize>,
     "tokenize()\n--\n\n토큰화. 완전 가역이며 복원 맵을 함께 낸다."),
    KX_M0("__reduce__", Policy, policy_reduce, "__reduce__($self)\n--\n\n"),
    KX_END,
};

// ---- PolicySet -----------------------------------------------------------------------------

PyObject* policy_set_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    auto a = bind<0>("PolicySet", {"default"}, args, kwargs);
    PolicySet set;
    if (a[0]) {
      expect_instance(a[0], T_Policy, "default");
      set.default_policy = unbox<Policy>(a[0]);
    }
    return make(T_PolicySet, std::move(set));
  });
}

KX_FN(policy_set_with_entity, 2, "with_entity", "entity", "policy") {
  const Entity e = ok(parse_entity(to_string_view(a[0], "entity")), "entity");
  expect_instance(a[1], T_Policy, "policy");
  return make(T_PolicySet, with_entity(unbox<PolicySet>(self), e, unbox<Policy>(a[1])));
}

KX_FN(policy_set_policy_for, 1, "policy_for", "entity") {
  const Entity e = ok(parse_entity(to_string_view(a[0], "entity")), "entity");
  return make(T_Policy, policy_for(unbox<PolicySet>(self), e));
}

// Pickled as the default policy and then one with_entity per override, in their order.
PyObject* policy_set_reduce(const PolicySet& set) {
  if (set.overrides.empty())
    return reduce_call(type_object(T_PolicySet), Ref::steal(make(T_Policy, set.default_policy)));
  PolicySet rest = set;
  auto [entity, policy] = std::move(rest.overrides.back());
  rest.overrides.pop_back();
  return reduce_by(type_object(T_PolicySet), "with_entity",
                   Ref::steal(make(T_PolicySet, std::move(rest))),
                   Ref::steal(new_str(entity_name(entity))),
                   Ref::steal(make(T_Policy, std::move(policy))));
}

PyMethodDef policy_set_methods[] = {
    KX_M("with_entity", policy_set_with_entity, "with_entity($self, entity, policy)\n--\n\n특정 엔티티에만 다른 정책을 "
     "준 **새 묶음**을 낸다. 원본은 바뀌지 않는다."),
    KX_M("policy_for", policy_set_policy_for, "policy_for($self, entity)\n--\n\n이 엔티티에 적용될 정책."),
    KX_M0("__reduce__", PolicySet, policy_set_reduce, "__reduce__($self)\n--\n\n"),
    KX_END,
};

// ---- RestoreEntry --------------------------------------------------------------------------

PyGetSetDef restore_entry_getset[] = {
    KX_F(RestoreEntry, token, "마스킹 결과에 박힌 토큰."),
    KX_F(RestoreEntry, original, "그 자리에 있던 원문 조각."),
    KX_G("entity", (get<RestoreEntry, entity_of<RestoreEntry>>), nullptr),
    KX_G("entity_label", (get<RestoreEntry, label_of<RestoreEntry>>), nullptr),
    KX_END,
};

// ---- RestoreMap ----------------------------------------------------------------------------

PyObject* restore_map_is_empty(const RestoreMap& m) { return new_bool(m.entries.empty()); }

KX_FN(restore_map_from_json_m, 1, "from_json", "text") {
  auto r = restore_map_from_json(to_string_view(a[0], "text"));
  if (!r) throw_error(PyExc_ValueError, "restore map JSON 을 읽지 못했다: " + r.error());
  return make(T_RestoreMap, std::move(*r));
}

// Pickled through its JSON form.
PyObject* restore_map_reduce(const RestoreMap& m) {
  return reduce_by(type_object(T_RestoreMap), "from_json", Ref::steal(json_of(m)));
}

PyMethodDef restore_map_methods[] = {
    KX_M0("is_empty", RestoreMap, restore_map_is_empty, "is_empty($self)\n--\n\n"),
    KX_JSON("to_json($self)\n--\n\n파일에 저장할 수 있게 JSON 으로 낸다.", RestoreMap),
    KX_S("from_json", restore_map_from_json_m, "from_json(text)\n--\n\n저장했던 JSON 에서 되읽는다. 프로세스가 끝나도 "
     "복원이 가능해야 가역이라 부를 수 있다."),
    KX_M0("__reduce__", RestoreMap, restore_map_reduce, "__reduce__($self)\n--\n\n"),
    KX_END,
};

PyGetSetDef restore_map_getset[] = {
    KX_F(RestoreMap, prefix, "이 표가 쓰는 토큰 접두어."),
    KX_F(RestoreMap, entries, "등록된 항목들."),
    KX_END,
};

// ---- MaskOutput ----------------------------------------------------------------------------

// The result of mask: the core output, with its text made into a str when the call returns
// (the core's UTF-8 copy is then let go). A str cannot be changed, so every read of `text`
// hands out that one object.
struct Masked {
  MaskOutput out;
  Ref text;
};

void recycle_masked(Masked& m) { recycle(std::move(m.out.applied)); }

// Builds the str of a rewritten text (masked or unmasked) from the str it was rewritten from.
// The source's characters between the rewrites and the rewritten pieces (decoded from UTF-8) are
// gathered as code points in one buffer, which becomes a str every kChunk characters; only a
// long unchanged stretch is taken from the source str as a substring of its own. So a text
// rewritten in many places is made of a few pieces, none per rewrite, and one rewritten in few
// places is copied from the source nearly whole; one join makes the result. For a long non-ASCII
// text that is cheaper than decoding the whole result from UTF-8 (`pays` tells when); a short
// text is gathered whole in the object's own buffers, where CPython hands its code points out as
// they are stored and decoding the masked text from UTF-8 would cost a branch per character.
class Rewriter {
 public:
  // Whether the str of a rewrite of `source` (whose UTF-8 form is `utf8`) is worth building here,
  // asked before the core runs, which then leaves the unchanged text out of its result: for a
  // text of some length with many characters beyond ASCII (ASCII decodes from UTF-8 as a plain
  // copy), at least 4 KiB and a quarter more bytes than characters; with `or_short`, for a short
  // text too, of kShort bytes at most. The code points need a wchar_t of four bytes.
  static bool pays(PyObject* source, std::string_view utf8, bool or_short = false) {
    const auto chars = static_cast<std::size_t>(PyUnicode_GetLength(source));
    return sizeof(wchar_t) >= sizeof(char32_t) &&
           ((utf8.size() >= 4096 && 4 * utf8.size() >= 5 * chars) || (or_short && utf8.size() <= kShort));
  }

  // `utf8` is the UTF-8 form of the str `source` (read by rewrite() only).
  Rewriter(PyObject* source, std::string_view utf8)
      : source_(source), utf8_(utf8), chars_(static_cast<std::size_t>(PyUnicode_GetLength(source))) {}
  Rewriter(const Rewriter&) = delete;  // its buffer may be its own

  // Bytes [start, end) of `utf8` become `with` (valid UTF-8). Calls come in text order,
  // apart, on character boundaries.
  void rewrite(std::size_t start, std::size_t end, std::string_view with) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8_.data());
    const std::size_t start_char = char_ + bytes::count_chars(p + byte_, start - byte_);
    rewrite_chars(start_char, start_char + bytes::count_chars(p + start, end - start), end, with);
  }

  // The same given the characters [start_char, end_char) of the source that those bytes hold
  // (and `end`): nothing is counted.
  void rewrite_chars(std::size_t start_char, std::size_t end_char, std::size_t end, std::string_view with) {
    copy_source(start_char);
    if (!with.empty()) {
      // No more characters than bytes.
      const std::size_t decoded = utf8::decode_all(with, room(with.size()));
      if (decoded == SIZE_MAX) throw std::logic_error("a rewritten piece is not valid UTF-8");
      gathered(decoded);
    }
    char_ = end_char;
    byte_ = end;
  }

  // A piece that rewrites write again and again (the same for every finding of an entity, under
  // a label, a code or a fixed text): decoded once, where its code points are kept.
  struct Repeated {
    std::size_t at = SIZE_MAX, chars = 0;  // in the kept code points; SIZE_MAX: not met yet
  };

  // rewrite_chars() with a piece that `repeated` stands for, decoded at its first use only.
  void rewrite_chars(std::size_t start_char, std::size_t end_char, std::size_t end, std::string_view with,
                     Repeated& repeated) {
    if (repeated.at == SIZE_MAX) {
      repeated.at = kept_.size();
      kept_.resize(kept_.size() + with.size());  // no more characters than bytes
      repeated.chars = utf8::decode_all(with, kept_.data() + repeated.at);
      if (repeated.chars == SIZE_MAX) throw std::logic_error("a rewritten piece is not valid UTF-8");
      kept_.resize(repeated.at + repeated.chars);
    }
    copy_source(start_char);
    const wchar_t* points = kept_.data() + repeated.at;
    std::copy(points, points + repeated.chars, room(repeated.chars));
    gathered(repeated.chars);
    char_ = end_char;
    byte_ = end;
  }

  // The source's characters from `from` on, kWindow of them where the text is that long, read
  // into the window from which rewrites copy them. It stays valid while every rewrite starts at
  // least kLongRun characters after the source position reached or inside it, at or after
  // `from` (keep_to moves that position).
  std::wstring_view window_at(std::size_t from) {
    if (from != window_start_ || window_.empty()) fill_window(from);
    return {window_.data(), window_.size()};
  }

  // The source's characters up to `to` stay as they are.
  void keep_to(std::size_t to) { copy_source(to); }

  // The whole text, as a new reference.
  PyObject* finish() {
    copy_source(chars_);
    if (!parts_) return check(PyUnicode_FromWideChar(buffer_.data(), static_cast<Py_ssize_t>(gathered_)));
    flush();
    if (PyList_Size(parts_.get()) == 1) return Py_NewRef(PyList_GetItem(parts_.get(), 0));
    Ref empty = Ref::steal(new_str({}));
    return check(PyUnicode_Join(empty.get(), parts_.get()));
  }

 private:
  static constexpr std::size_t kChunk = 8192;    // characters gathered before they become a str
  // An unchanged stretch this long is a substring: what a piece costs, for a two-byte str, is
  // then near what the same characters cost as code points (measured on 4 MB of chat text).
  static constexpr std::size_t kLongRun = 512;
  static constexpr std::size_t kWindow = 8192;   // source characters read at once
  static constexpr std::size_t kShort = 1024;    // bytes of a short text, so as many characters

  // `count` more code points were written where room() said.
  void gathered(std::size_t count) {
    gathered_ += count;
    if (gathered_ >= kChunk) flush();
  }

  // The source's characters from char_ up to `to`.
  void copy_source(std::size_t to) {
    if (to - char_ >= kLongRun) {
      flush();
      append(check(PyUnicode_Substring(source_, static_cast<Py_ssize_t>(char_), static_cast<Py_ssize_t>(to))));
    } else {
      read_source(char_, to, room(to - char_));
      gathered(to - char_);
    }
    char_ = to;
  }

  // Room for `count` more code points after the gathered ones, which leave the object's own
  // buffer once they outgrow it.
  wchar_t* room(std::size_t count) {
    if (gathered_ + count > buffer_.size()) {
      heap_.resize(std::max(gathered_ + count, kChunk + kLongRun));
      if (buffer_.data() == inline_) std::copy_n(inline_, gathered_, heap_.data());
      buffer_ = heap_;
    }
    return buffer_.data() + gathered_;
  }

  // The gathered code points become a piece.
  void flush() {
    if (gathered_ == 0) return;
    append(check(PyUnicode_FromWideChar(buffer_.data(), static_cast<Py_ssize_t>(gathered_))));
    gathered_ = 0;
  }

  // Source characters [from, to) into out, through a window of the source's code points, read
  // kWindow characters at a time.
  void read_source(std::size_t from, std::size_t to, wchar_t* out) {
    while (from < to) {
      if (from < window_start_ || from >= window_start_ + window_.size()) fill_window(from);
      const std::size_t n = std::min(to, window_start_ + window_.size()) - from;
      const wchar_t* w = window_.data() + (from - window_start_);
      out = std::copy(w, w + n, out);
      from += n;
    }
  }

  void fill_window(std::size_t from) {
    const std::size_t n = std::min(kWindow, chars_ - from);
    Ref part = n == chars_ ? Ref::borrow(source_)
                           : Ref::steal(check(PyUnicode_Substring(source_, static_cast<Py_ssize_t>(from),
                                                                  static_cast<Py_ssize_t>(from + n))));
    wchar_t* w = n <= std::size(inline_window_) ? inline_window_ : (window_heap_.resize(n), window_heap_.data());
    if (PyUnicode_AsWideChar(part.get(), w, static_cast<Py_ssize_t>(n)) != static_cast<Py_ssize_t>(n)) throw_set();
    window_ = {w, n};
    window_start_ = from;
  }

  void append(PyObject* piece) {  // steals
    Ref ref = Ref::steal(piece);
    if (!parts_) parts_ = Ref::steal(check(PyList_New(0)));
    if (PyList_Append(parts_.get(), ref.get()) != 0) throw_set();
  }

  PyObject* source_;
  std::string_view utf8_;
  std::size_t chars_;
  std::size_t byte_ = 0, char_ = 0;  // source position reached
  // Gathered code points: the first gathered_ of buffer_, which is inline_ until they outgrow it.
  wchar_t inline_[2 * kShort];
  std::vector<wchar_t> heap_;
  std::span<wchar_t> buffer_{inline_};
  std::size_t gathered_ = 0;
  std::span<const wchar_t> window_;  // source characters from window_start_ on, in one of:
  wchar_t inline_window_[kShort];
  std::vector<wchar_t> window_heap_;
  std::size_t window_start_ = 0;
  Ref parts_;                        // list of the pieces
  std::vector<wchar_t> kept_;        // the code points of repeated pieces
};

// The str of a rewritten text: the argument itself when nothing changed, else built from the
// argument and the rewrites when `rebuild`, else decoded from the UTF-8 result.
template <class EachRewrite>
PyObject* rewritten(PyObject* source, std::string_view utf8, bool rebuild, std::string_view result,
                    std::size_t rewrites, EachRewrite each) {
  if (rewrites == 0 && PyUnicode_CheckExact(source)) return Py_NewRef(source);
  if (!rebuild) return new_str(result);
  Rewriter w(source, utf8);
  each(w);
  return w.finish();
}

// A member of the core output: a child of the shared result.
template <auto M>
PyObject* output_part(const std::shared_ptr<const Masked>& m) {
  return to_py(m, m->out.*M);
}

PyGetSetDef mask_output_getset[] = {
    KX_G("text", (get<Masked, [](const Masked& m) { return Py_NewRef(m.text.get()); }>),
         "가려진 텍스트."),
    KX_G("applied", (get<Masked, output_part<&MaskOutput::applied>>), "실제로 적용된 탐지 결과."),
    KX_G("skipped", (get<Masked, output_part<&MaskOutput::skipped>>),
         "앞선 구간과 겹쳐서 건너뛴 결과. 비어 있는 것이 정상이다."),
    KX_G("restore", (get<Masked, output_part<&MaskOutput::restore>>),
         "토큰화 정책을 쓴 경우의 복원 맵. 그 외에는 `None`."),
    KX_END,
};

// Below this many characters per token, the UTF-8 path is taken (see below).
constexpr std::size_t kCharsPerToken = 64;

// unmask of a long str read a window of code points at a time, as the Rewriter reads its
// source: CPython copies them out at memory speed, the tokens are found in the window and the
// text around them is gathered while it is at hand, and no form of the whole text is made (a
// UTF-8 or UTF-16 one costs an encoding of every character and fresh pages as long as the
// text). nullptr (no error set) when this does not apply, or some token would be refused, or the
// str holds a surrogate: the UTF-8 path then gives the result or the error.
PyObject* unmask_windows(PyObject* masked, PyObject* restore) {
  if (sizeof(wchar_t) < sizeof(char32_t) || !PyUnicode_CheckExact(masked) ||
      !is_instance(restore, T_RestoreMap) || !is_long_wide_text(masked))
    return nullptr;
  const auto chars = static_cast<std::size_t>(PyUnicode_GetLength(masked));
  const RestoreMap& table = unbox<RestoreMap>(restore);  // immutable, held by the caller
  // The result is built from pieces of the str: for a text as dense with tokens as the table
  // is long, that costs more than the UTF-8 path, which then decodes the result whole.
  if (table.entries.size() * kCharsPerToken >= chars) return nullptr;
  Rewriter w(masked, {});
  std::vector<RestoredToken> tokens;
  std::size_t found = 0;
  for (std::size_t pos = 0; pos < chars;) {
    const std::wstring_view window = w.window_at(pos);
    std::size_t next = 0;
    tokens.clear();
    // A surrogate has no UTF-8 form.
    const bool last = pos + window.size() == chars;
    if (bytes::any_surrogate(window.data(), window.size()) ||
        !find_tokens(window, last, kTokenRoom, table, tokens, next))
      return nullptr;
    found += tokens.size();
    if (found * kCharsPerToken >= chars) return nullptr;
    for (const RestoredToken& t : tokens) w.rewrite_chars(pos + t.start, pos + t.end, 0, t.original);
    pos += next;
    // The next window's rewrites then read no character before it (see window_at). Before the
    // first token the source position stays at the start: a stretch that long is a substring.
    if (found != 0) w.keep_to(pos);
  }
  if (found == 0) return Py_NewRef(masked);
  return w.finish();
}

}  // namespace

const ClassDef class_Policy = {
    .doc = "마스킹 정책. 정적 생성자로 만든다.\n\n"
           "```python\n"
           "kx.Policy.redact_label()          # [주민등록번호]\n"
           "kx.Policy.redact_fill(\"*\")        # **************\n"
           "kx.Policy.redact_fixed(\"<가림>\")\n"
           "kx.Policy.partial(3, 4)           # 010******5678\n"
           "kx.Policy.hash(b\"secret\", 12)     # hash 기능을 켠 빌드에서만\n"
           "kx.Policy.tokenize()              # 완전 가역\n"
           "```",
    KX_BOX(Policy), .methods = policy_methods,
};

const ClassDef class_PolicySet = {
    .doc = "PolicySet(default=None)\n--\n\n엔티티별 정책 묶음. 기본 정책 하나에 엔티티별 예외를 얹는다.",
    KX_BOX(PolicySet), .init = policy_set_new, .methods = policy_set_methods,
};

const ClassDef class_RestoreEntry = {
    .doc = "토큰 하나와 그것이 대신한 원문 조각.",
    KX_BOX(RestoreEntry), .getset = restore_entry_getset,
};

const ClassDef class_RestoreMap = {
    .doc = "토큰과 원문을 잇는 표.\n\n**이 표 자체가 개인정보다.** 마스킹 텍스트와 같은 곳에 두면 마스킹한 "
           "의미가 없다.",
    KX_BOX(RestoreMap), .len = length<&RestoreMap::entries>, .methods = restore_map_methods,
    .getset = restore_map_getset,
};

const ClassDef class_MaskOutput = {
    .doc = "마스킹 결과.",
    KX_BOX_REPR(Masked, (repr<Masked, [](const Masked& m) { return describe(m.out); }>)), .getset = mask_output_getset,
};

// ---- functions -----------------------------------------------------------------------------

KX_FN(fn_mask, 1, "mask", "text", "policies", "config") {
  TextArg arg = to_text_arg(a[0], "text", true);
  const std::string_view text = arg.view;
  // A policy set never changes (and `a` holds it for the call); the settings are copied.
  static const PolicySet defaults;
  if (a[1]) expect_instance(a[1], T_PolicySet, "policies");
  const PolicySet& policies = a[1] ? unbox<PolicySet>(a[1]) : defaults;
  const Config config = config_arg(a[2]);
  // An exact str is its own masked text when nothing is applied: no copy of it is made.
  const bool rebuild = Rewriter::pays(a[0], text, true);
  const MaskedText made = rebuild                      ? MaskedText::replacements
                          : PyUnicode_CheckExact(a[0]) ? MaskedText::unless_unchanged
                                                       : MaskedText::whole;
  // A str rebuilt from the argument and the rendered pieces, at the findings' character offsets,
  // needs no UTF-8 text after the core: a copy of the call's own is handed over, for detection
  // to consume. One not handed over is let go before the new str is made (the two are never
  // held at once, and its memory may serve the new str).
  Masked m{ok(unlocked(text.size(), [&] {
    return rebuild && arg.is_owned ? mask_replacements(std::move(arg.owned), policies, config)
                                   : mask(text, policies, config, made);
  })), {}};
  const MaskOutput& out = m.out;
  std::string().swap(arg.owned);
  // Where no policy reads what it replaces (labels, codes, fixed texts), a finding's piece is its
  // entity's: with more findings than entities some piece repeats, and each is decoded once.
  const bool by_entity = out.applied.size() > kEntityCount && !reads_pieces(policies);
  m.text = Ref::steal(rewritten(a[0], {}, rebuild, out.text, out.applied.size(), [&](Rewriter& w) {
    if (!by_entity) {
      each_replacement(out, [&](auto... replacement) { w.rewrite_chars(replacement...); });
      return;
    }
    std::array<Rewriter::Repeated, kEntityCount> repeated;
    std::size_t k = 0;
    each_replacement(out, [&](auto... replacement) {
      w.rewrite_chars(replacement..., repeated[static_cast<std::size_t>(out.applied[k++].entity)]);
    });
  }));
  std::string().swap(m.out.text);
  std::vector<std::size_t>().swap(m.out.rendered_ends);
  return make_recycling<Masked, recycle_masked>(T_MaskOutput, std::move(m));
}

KX_FN(fn_unmask, 2, "unmask", "masked", "restore") {
  if (PyObject* done = unmask_windows(a[0], a[1])) return done;
  const TextArg arg = to_text_arg(a[0], "masked", false);
  const std::string_view masked = arg.view;
  expect_instance(a[1], T_RestoreMap, "restore");
  std::vector<RestoredToken> tokens;
  const RestoreMap& table = unbox<RestoreMap>(a[1]);  // immutable, held by `a`
  const bool rebuild = Rewriter::pays(a[0], masked);
  const std::string r = ok(unlocked(masked.size(), [&] { return unmask(masked, table, &tokens, !rebuild); }));
  return rewritten(a[0], masked, rebuild, r, tokens.size(), [&](Rewriter& w) {
    for (const RestoredToken& t : tokens) w.rewrite(t.start, t.end, t.original);
  });
}

}  // namespace kestrix::py
