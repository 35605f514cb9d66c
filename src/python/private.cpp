// Private functions of the extension for the command line (kestrix/cli.py): underscore names
// outside the public surface, so that the command line takes the token grammar, the restore
// map's JSON form, the merging of restore maps and the per-line loops from the core instead of
// repeating them. Their shapes may change with the command line.
//
// A text parameter takes a str or UTF-8 bytes; offsets in results are characters of a str and
// bytes of bytes, and a text result has the argument's type.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "detect/detect.hpp"
#include "detect/report_json.hpp"
#include "mask/mask.hpp"
#include "mask/restore.hpp"
#include "normalize/config.hpp"
#include "python/py.hpp"
#include "text/json_writer.hpp"
#include "text/utf8.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kestrix::py {
namespace {

// A str or bytes argument as UTF-8.
struct Text {
  TextArg arg;
  std::string_view view;
  bool bytes = false;

  // The character offset (bytes: byte offset) of byte `at` of view.
  std::size_t offset(std::size_t at) const { return bytes ? at : utf8::count_chars(view.substr(0, at)); }
  PyObject* make(std::string_view s) const {
    return bytes ? check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))) : new_str(s);
  }
};

Text text_arg(PyObject* o, const char* param) {
  Text t;
  if (o && PyBytes_Check(o)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(o, &data, &len) < 0) throw_set();
    t.view = std::string_view(data, static_cast<std::size_t>(len));
    t.bytes = true;
    return t;
  }
  t.arg = to_text_arg(o, param, false);
  t.view = t.arg.view;
  return t;
}

// The bytes `chunk` of a line reader, or its first `end` bytes when `end` is given: a block read
// past its last line is handed over whole, not copied to cut it.
Text chunk_arg(const char* fname, PyObject* chunk, PyObject* end) {
  Text t = text_arg(chunk, "chunk");
  if (!t.bytes) throw_error(PyExc_TypeError, std::string(fname) + "() argument 'chunk' must be bytes");
  if (end) {
    const std::uint64_t n = to_u64(end, "end");
    if (n > t.view.size()) throw_error(PyExc_ValueError, std::string(fname) + "() argument 'end' is past the end of 'chunk'");
    t.view = t.view.substr(0, n);
  }
  return t;
}

const RestoreMap& restore_arg(PyObject* o, const char* param) {
  expect_instance(o, T_RestoreMap, param);
  return unbox<RestoreMap>(o);
}

const PolicySet& policies_arg(PyObject* o, const char* param) {
  expect_instance(o, T_PolicySet, param);
  return unbox<PolicySet>(o);
}

// For the command line's own process, whose chunks come and go a megabyte at a time in each
// worker: blocks below 32 MB come from the heap, and freed ones stay there for the next chunk
// instead of going back to the system (under glibc's defaults a worker's freed blocks went back,
// and its next chunk's output landed on fresh pages: a fault per 4 KB, 3,400 of the 9,000 of a
// 50 MB run with two jobs). True when the allocator took the settings.
KX_FAST(fn_keep_freed_memory) {
  return guard([&]() -> PyObject* {
    bind_none("_keep_freed_memory", KX_CALL);
#if defined(__GLIBC__)
    const bool taken = mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1 && mallopt(M_TRIM_THRESHOLD, 256 << 20) == 1;
#else
    const bool taken = false;
#endif
    return new_bool(taken);
  });
}

KX_FAST(fn_tokenizes) {
  return guard([&]() -> PyObject* {
    auto a = bind<1>("_tokenizes", {"policies"}, KX_CALL);
    return new_bool(tokenizes(policies_arg(a[0], "policies")));
  });
}

KX_FAST(fn_restore_head) {
  return guard([&]() -> PyObject* {
    auto a = bind<1>("_restore_head", {"prefix"}, KX_CALL);
    std::string out;
    write_json_head(out, to_string_view(a[0], "prefix"));
    return new_str(out);
  });
}

// (masked, entries): the tokens of `restore` in `masked` renumbered as tokens of `prefix` from
// `first` on, and the renumbered entries in the map's JSON form (each but number 0 after a
// comma), to follow the head and the entries before `first`.
KX_FAST(fn_merge_restore) {
  return guard([&]() -> PyObject* {
    auto a = bind<4>("_merge_restore", {"masked", "restore", "prefix", "first"}, KX_CALL);
    const Text masked = text_arg(a[0], "masked");
    const RestoreMap& piece = restore_arg(a[1], "restore");
    RestoreMap into{to_string(a[2], "prefix"), {}};
    const std::uint64_t first = to_u64(a[3], "first");
    auto merged = merge_restore(into, first, masked.view, piece);
    if (!merged) throw_core(merged.error());
    std::string entries;
    for (std::size_t i = 0; i < into.entries.size(); ++i) write_json_entry(entries, into.entries[i], first + i);
    Ref text = Ref::steal(masked.make(*merged));
    Ref json = Ref::steal(new_str(entries));
    return check(PyTuple_Pack(2, text.get(), json.get()));
  });
}

// [(offset, prefix), ...]: the token-shaped pieces of a text, of any run.
KX_FAST(fn_token_prefixes) {
  return guard([&]() -> PyObject* {
    auto a = bind<1>("_token_prefixes", {"text"}, KX_CALL);
    const Text text = text_arg(a[0], "text");
    const std::vector<TokenShape> shapes = token_shapes(text.view);
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(shapes.size()))));
    std::size_t byte = 0, offset = 0;  // counted on from the previous shape
    for (std::size_t i = 0; i < shapes.size(); ++i) {
      offset += text.offset(shapes[i].start) - text.offset(byte);
      byte = shapes[i].start;
      Ref at = Ref::steal(new_u64(offset));
      Ref prefix = Ref::steal(new_str(shapes[i].prefix));
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyTuple_Pack(2, at.get(), prefix.get())));
    }
    return list.release();
  });
}

// None, or (offset, fault, number) of the first token of restore's prefix that unmask refuses;
// the fault is "unclosed", "not_number" or "no_entry".
KX_FAST(fn_bad_token) {
  return guard([&]() -> PyObject* {
    auto a = bind<2>("_bad_token", {"masked", "restore"}, KX_CALL);
    const Text masked = text_arg(a[0], "masked");
    const TokenCheck c = check_tokens(masked.view, restore_arg(a[1], "restore"));
    if (c.fault == TokenFault::none) return none();
    const char* fault = c.fault == TokenFault::unclosed     ? "unclosed"
                        : c.fault == TokenFault::not_number ? "not_number"
                                                            : "no_entry";
    Ref at = Ref::steal(new_u64(masked.offset(c.start)));
    Ref kind = Ref::steal(new_str(fault));
    Ref number = Ref::steal(masked.make(c.number));
    return check(PyTuple_Pack(3, at.get(), kind.get(), number.get()));
  });
}

// ---- many lines in one call ----------------------------------------------------------------
//
// A chunk that is not UTF-8, or a line that the core refuses, makes the whole call return None:
// the caller then goes line by line, which fails where it should.

// Calls f(line, ending) for every line of a text: the lines end at "\n", which with a "\r"
// before it is the ending "\r\n"; a last line without "\n" has the ending "" (and keeps a
// final "\r"). A text ending in "\n" has no empty line after it.
template <class F>
void each_line(std::string_view text, F f) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      f(text.substr(pos), std::string_view());
      return;
    }
    const bool cr = nl > pos && text[nl - 1] == '\r';
    f(text.substr(pos, nl - pos - cr), cr ? std::string_view("\r\n") : std::string_view("\n"));
    pos = nl + 1;
  }
}

PyObject* new_bytes(std::string_view s) {
  return check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

struct Leftover {
  std::size_t line;
  std::uint32_t column;
  Entity entity;
};

// None, or (masked, restore, leftovers, lines) for the lines of a UTF-8 chunk, each masked on
// its own exactly as mask() masks it: `masked` the masked lines with their endings (bytes),
// `restore` (None when nothing was tokenized) one map of prefix `prefix` whose entries number
// from 0 in line order, with `verify` the leftovers [(line index, column, entity), ...]: where
// detection still finds something in a line once what masking replaced is filled, and `lines`
// the number of lines (the last one may lack its ending).
KX_FAST(fn_mask_lines) {
  return guard([&]() -> PyObject* {
    auto a = bind<5>("_mask_lines", {"chunk", "policies", "config", "prefix", "verify", "end"}, KX_CALL);
    const Text chunk = chunk_arg("_mask_lines", a[0], a[5]);
    const PolicySet& policies = policies_arg(a[1], "policies");
    const Config config = config_arg(a[2]);
    RestoreMap run{to_string(a[3], "prefix"), {}};
    const bool verify = to_bool(a[4], "verify");
    std::string out = recycled::text_buffer(chunk.view.size());  // handed back once copied
    std::vector<Leftover> leftovers;
    std::size_t index = 0;
    const bool ok = unlocked(chunk.view.size(), [&] {
      if (!utf8::valid(chunk.view)) return false;
      const PolicySet neutral{Policy::redact_fill(U'가'), {}};
      out.reserve(chunk.view.size() + chunk.view.size() / 4);
      bool good = true;
      each_line(chunk.view, [&](std::string_view line, std::string_view ending) {
        if (!good) return;
        auto r = mask(line, policies, config, MaskedText::unless_unchanged);
        if (!r) {
          good = false;
          return;
        }
        if (r->applied.empty()) {
          out += line;
        } else if (r->restore && !r->restore->entries.empty()) {
          auto merged = merge_restore(run, 0, r->text, *r->restore);
          if (!merged) {
            good = false;
            return;
          }
          out += *merged;
        } else {
          out += r->text;
        }
        out += ending;
        if (verify) {
          auto blanked = mask(line, neutral, config);
          auto found = blanked ? detect_findings(blanked->text, config) : std::unexpected(blanked.error());
          if (!found) {
            good = false;
            return;
          }
          for (const Finding& f : found->findings) leftovers.push_back({index, f.source.char_start + 1, f.entity});
        }
        ++index;
      });
      return good;
    });
    if (!ok) return none();
    Ref text = Ref::steal(new_bytes(out));
    recycled::recycle_text(std::move(out));
    Ref restore = Ref::steal(run.entries.empty() ? none() : make(T_RestoreMap, std::move(run)));
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(leftovers.size()))));
    for (std::size_t i = 0; i < leftovers.size(); ++i) {
      Ref line = Ref::steal(new_u64(leftovers[i].line));
      Ref column = Ref::steal(new_u64(leftovers[i].column));
      Ref entity = Ref::steal(new_str(entity_name(leftovers[i].entity)));
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                     check(PyTuple_Pack(3, line.get(), column.get(), entity.get())));
    }
    Ref lines = Ref::steal(new_u64(index));
    return check(PyTuple_Pack(4, text.get(), restore.get(), list.get(), lines.get()));
  });
}

// None, or (records, counts) for the lines of a UTF-8 chunk, each detected on its own: the
// command line's JSON record of every finding, one a line (bytes), its "input" the JSON text
// `name`, its line numbered from `first_line`, with the found text when `show_text`; and
// {entity: findings} for the entities found.
KX_FAST(fn_detect_lines) {
  return guard([&]() -> PyObject* {
    auto a = bind<5>("_detect_lines", {"chunk", "config", "name", "first_line", "show_text", "end"}, KX_CALL);
    const Text chunk = chunk_arg("_detect_lines", a[0], a[5]);
    const Config config = config_arg(a[1]);
    const std::string name = to_string(a[2], "name");
    const std::uint64_t first_line = to_u64(a[3], "first_line");
    const bool show_text = to_bool(a[4], "show_text");
    std::string out = recycled::text_buffer(chunk.view.size());  // handed back once copied
    std::array<std::uint64_t, kEntityCount> counts{};
    const bool ok = unlocked(chunk.view.size(), [&] {
      if (!utf8::valid(chunk.view)) return false;
      std::uint64_t number = first_line;
      bool good = true;
      std::string finding;
      each_line(chunk.view, [&](std::string_view line, std::string_view) {
        if (!good) return;
        auto report = detect_findings(line, config);
        if (!report) {
          good = false;
          return;
        }
        for (const Finding& f : report->findings) {
          const Span& s = f.source;
          out += "{\"input\":";
          out += name;
          out += ",\"line\":";
          json::write_uint(out, number);
          out += ",\"columns\":[";
          json::write_uint(out, std::uint64_t{s.char_start} + 1);
          out += ',';
          json::write_uint(out, s.char_end);
          out += "],";
          finding.clear();
          write_json(finding, f);
          out.append(finding, 1, finding.size() - 2);  // without its braces
          if (show_text) {
            out += ",\"text\":";
            json::write_string(out, line.substr(s.byte_start, s.byte_end - s.byte_start));
          }
          out += "}\n";
          ++counts[static_cast<std::size_t>(f.entity)];
        }
        ++number;
      });
      return good;
    });
    if (!ok) return none();
    Ref records = Ref::steal(new_bytes(out));
    recycled::recycle_text(std::move(out));
    Ref found = Ref::steal(check(PyDict_New()));
    for (std::size_t e = 0; e < kEntityCount; ++e) {
      if (counts[e] == 0) continue;
      Ref n = Ref::steal(new_u64(counts[e]));
      if (PyDict_SetItemString(found.get(), std::string(entity_name(static_cast<Entity>(e))).c_str(), n.get()) < 0)
        throw_set();
    }
    return check(PyTuple_Pack(2, records.get(), found.get()));
  });
}

}  // namespace

PyMethodDef g_private_functions[] = {
    {"_tokenizes", KX_METH(fn_tokenizes), kMethod, nullptr},
    {"_keep_freed_memory", KX_METH(fn_keep_freed_memory), kMethod, nullptr},
    {"_restore_head", KX_METH(fn_restore_head), kMethod, nullptr},
    {"_merge_restore", KX_METH(fn_merge_restore), kMethod, nullptr},
    {"_token_prefixes", KX_METH(fn_token_prefixes), kMethod, nullptr},
    {"_bad_token", KX_METH(fn_bad_token), kMethod, nullptr},
    {"_mask_lines", KX_METH(fn_mask_lines), kMethod, nullptr},
    {"_detect_lines", KX_METH(fn_detect_lines), kMethod, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrix::py
