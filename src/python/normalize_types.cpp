// Config, Normalized and normalize().
#include <iterator>
#include <utility>

#include "normalize/config.hpp"
#include "normalize/pipeline.hpp"
#include "python/py.hpp"
#include "text/debug_string.hpp"

namespace kestrix::py {
namespace {

// ---- Config --------------------------------------------------------------------------------

[[noreturn]] void refuse_delete(void* closure) {
  throw_type_error(std::string("cannot delete Config attribute '") +
                   static_cast<const char*>(closure) + "'");
}

PyObject* config_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("Config", args, kwargs, {}, 0, nullptr);
    return make(T_Config, Config{});
  });
}

template <bool Config::*F>
PyObject* get_bool(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_bool(SharedBorrow<Config>(self).value().*F); });
}

template <bool Config::*F>
int set_bool(PyObject* self, PyObject* value, void* closure) {
  return guard_int([&]() -> int {
    if (!value) refuse_delete(closure);
    bool v = to_bool(value, "value");
    ExclusiveBorrow<Config>(self).value().*F = v;
    return 0;
  }, -1);
}

template <std::uint64_t Config::*F>
PyObject* get_u64(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_u64(SharedBorrow<Config>(self).value().*F); });
}

template <std::uint64_t Config::*F>
int set_u64(PyObject* self, PyObject* value, void* closure) {
  return guard_int([&]() -> int {
    if (!value) refuse_delete(closure);
    std::uint64_t v = to_u64(value, "value");
    ExclusiveBorrow<Config>(self).value().*F = v;
    return 0;
  }, -1);
}

template <std::uint32_t Config::*F>
PyObject* get_u32(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_u64(SharedBorrow<Config>(self).value().*F); });
}

template <std::uint32_t Config::*F>
int set_u32(PyObject* self, PyObject* value, void* closure) {
  return guard_int([&]() -> int {
    if (!value) refuse_delete(closure);
    std::uint32_t v = to_u32(value, "value");
    ExclusiveBorrow<Config>(self).value().*F = v;
    return 0;
  }, -1);
}

template <float Config::*F>
PyObject* get_f32(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_f32(SharedBorrow<Config>(self).value().*F); });
}

template <float Config::*F>
int set_f32(PyObject* self, PyObject* value, void* closure) {
  return guard_int([&]() -> int {
    if (!value) refuse_delete(closure);
    // Convert before borrowing: the conversion may run Python code that reads this Config.
    float v = to_f32(value, "value");
    ExclusiveBorrow<Config>(self).value().*F = v;
    return 0;
  }, -1);
}

// The seven weights, in the order of the dict and of the set_weights parameters.
constexpr std::pair<const char*, float Weights::*> kWeights[] = {
    {"checksum_passed", &Weights::checksum_passed},
    {"checksum_failed", &Weights::checksum_failed},
    {"context", &Weights::context},
    {"absorbed_whitespace", &Weights::absorbed_whitespace},
    {"absorbed_separator", &Weights::absorbed_separator},
    {"expanded_syllable", &Weights::expanded_syllable},
    {"replaced_char", &Weights::replaced_char},
};
constexpr std::size_t kWeightCount = std::size(kWeights);

PyObject* get_weights(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    SharedBorrow<Config> cfg(self);
    Ref dict = Ref::steal(check(PyDict_New()));
    for (const auto& [name, field] : kWeights) {
      Ref v = Ref::steal(new_f32(cfg.value().weights.*field));
      if (PyDict_SetItemString(dict.get(), name, v.get()) < 0) throw_set();
    }
    return dict.release();
  });
}

PyObject* config_set_weights(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[kWeightCount];
    bind("set_weights", args, kwargs,
         {"checksum_passed", "checksum_failed", "context", "absorbed_whitespace",
          "absorbed_separator", "expanded_syllable", "replaced_char"},
         0, a);
    // Every given value is converted before any is written, so a bad one changes nothing.
    float values[kWeightCount] = {};
    for (std::size_t i = 0; i < kWeightCount; ++i)
      if (a[i]) values[i] = to_f32(a[i], kWeights[i].first);
    ExclusiveBorrow<Config> cfg(self);
    for (std::size_t i = 0; i < kWeightCount; ++i)
      if (a[i]) cfg.value().weights.*kWeights[i].second = values[i];
    return none();
  });
}

PyObject* config_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    SharedBorrow<Config> borrow(self);
    const Config& c = borrow.value();
    return new_str("Config(min_score=" + format_f32(c.min_score) +
                   ", min_context=" + format_f32(c.min_context) +
                   ", context_window=" + std::to_string(c.context_window) + ")");
  });
}

extern PyGetSetDef config_getset[];

// Pickled as Config() and a state of every setting by name (the weights as their dict), which
// __setstate__ writes back through the setters and set_weights, with their checks.
PyObject* config_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("__reduce__", args, kwargs, {}, 0, nullptr);
    Ref state = Ref::steal(check(PyDict_New()));
    for (const PyGetSetDef* d = config_getset; d->name; ++d) {
      Ref v = Ref::steal(check(PyObject_GetAttrString(self, d->name)));
      if (PyDict_SetItemString(state.get(), d->name, v.get()) < 0) throw_set();
    }
    Ref no_args = Ref::steal(check(PyTuple_New(0)));
    return check(PyTuple_Pack(3, type_object(T_Config), no_args.get(), state.get()));
  });
}

PyObject* config_setstate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("__setstate__", args, kwargs, {"state"}, 1, a);
    expect_dict(a[0], "state");
    for (const PyGetSetDef* d = config_getset; d->name; ++d) {
      Ref v = Ref::borrow(PyDict_GetItemString(a[0], d->name));
      if (!v) continue;
      if (d->set) {
        if (PyObject_SetAttrString(self, d->name, v.get()) < 0) throw_set();
        continue;
      }
      // The weights: keyword arguments of set_weights.
      expect_dict(v.get(), d->name);
      Ref set_weights = Ref::steal(check(PyObject_GetAttrString(self, "set_weights")));
      Ref no_args = Ref::steal(check(PyTuple_New(0)));
      Ref done = Ref::steal(check(PyObject_Call(set_weights.get(), no_args.get(), v.get())));
    }
    return none();
  });
}

PyMethodDef config_methods[] = {
    {"set_weights", KX_METH(config_set_weights), METH_VARARGS | METH_KEYWORDS,
     "set_weights($self, checksum_passed=None, checksum_failed=None, context=None, "
     "absorbed_whitespace=None, absorbed_separator=None, expanded_syllable=None, "
     "replaced_char=None)\n--\n\n점수 가중치를 바꾼다. 주지 않은 것은 그대로 둔다.\n\n가중치의 "
     "뜻은 저장소 README 의 판정 규칙 절에 있다. 함부로 바꾸면 재현율과 정밀도가\n함께 움직이므로, "
     "바꾼 뒤에는 자기 데이터로 다시 재는 것이 맞다."},
    {"__reduce__", KX_METH(config_reduce), METH_VARARGS | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n"},
    {"__setstate__", KX_METH(config_setstate), METH_VARARGS | METH_KEYWORDS,
     "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#define KX_PROP(name, get, set, doc) \
  {name, get, set, const_cast<char*>(doc), const_cast<char*>(name)}

PyGetSetDef config_getset[] = {
    KX_PROP("numeral_min_digits_without_context",
            get_u64<&Config::numeral_min_digits_without_context>,
            set_u64<&Config::numeral_min_digits_without_context>,
            "문맥 단서 없이 한글 수사를 변환할 최소 결과 자릿수. 기본 6."),
    KX_PROP("numeral_min_digits_with_context", get_u64<&Config::numeral_min_digits_with_context>,
            set_u64<&Config::numeral_min_digits_with_context>,
            "문맥 단서가 있을 때의 최소 결과 자릿수. 기본 2."),
    KX_PROP("nfc", get_bool<&Config::nfc>, set_bool<&Config::nfc>, "유니코드 조합 패스를 켠다."),
    KX_PROP("fold", get_bool<&Config::fold>, set_bool<&Config::fold>, "전각 폴딩 패스를 켠다."),
    KX_PROP("hangul", get_bool<&Config::hangul>, set_bool<&Config::hangul>,
            "한글 수사 역변환 패스를 켠다."),
    KX_PROP("lookalike", get_bool<&Config::lookalike>, set_bool<&Config::lookalike>,
            "유사문자 교정 패스를 켠다."),
    KX_PROP("separator", get_bool<&Config::separator>, set_bool<&Config::separator>,
            "구분자 흡수 패스를 켠다."),
    KX_PROP("context_window", get_u32<&Config::context_window>, set_u32<&Config::context_window>,
            "문맥 단서를 찾을 창 크기(문자). 기본 24."),
    KX_PROP("min_score", get_f32<&Config::min_score>, set_f32<&Config::min_score>,
            "이 점수 미만이면 결과로 내지 않는다. 기본 0.5."),
    KX_PROP("min_context", get_f32<&Config::min_context>, set_f32<&Config::min_context>,
            "문맥이 필수인 엔티티가 요구하는 최소 문맥 총점. 기본 0.3."),
    KX_PROP("min_veto", get_f32<&Config::min_veto>, set_f32<&Config::min_veto>,
            "부정 문맥이 후보를 버릴 수 있게 되는 최소 총점. 기본 0.5."),
    {"weights", get_weights, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KX_PROP

PyType_Slot config_slots[] = {
    {Py_tp_doc, const_cast<char*>("Config()\n--\n\n정규화와 탐지 전체를 아우르는 설정.\n\n기본값이 "
                                  "곧 권장값이다. 아무것도 바꾸지 않아도 된다.")},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Config>)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_methods, config_methods},
    {Py_tp_getset, config_getset},
    {0, nullptr},
};

// ---- Normalized ----------------------------------------------------------------------------

PyObject* normalized_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Normalized& n = unbox<Normalized>(self);
    std::string s = "Normalized(text=";
    append_debug_string(s, n.text);
    s += ", segments=" + std::to_string(n.map.segments.size()) + ")";
    return new_str(s);
  });
}

PyGetSetDef normalized_getset[] = {
    {"text", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return new_str(unbox<Normalized>(self).text); });
     }, nullptr, const_cast<char*>("정규화된 텍스트."), nullptr},
    {"map", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* {
         return make(T_SpanMap, SpanMap{unbox<Normalized>(self).map});
       });
     }, nullptr, const_cast<char*>("원문과 정규화문을 잇는 구간 정렬 테이블."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot normalized_slots[] = {
    {Py_tp_doc, const_cast<char*>("정규화 결과. 정규화문과 원문을 잇는 매핑을 함께 낸다.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Normalized>)},
    {Py_tp_repr, reinterpret_cast<void*>(normalized_repr)},
    {Py_tp_getset, normalized_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec spec_Config = {"kestrix.Config", sizeof(Box<Config>), 0, kFlags, config_slots};
PyType_Spec spec_Normalized = {"kestrix.Normalized", sizeof(Box<Normalized>), 0, kFlagsNoInit,
                               normalized_slots};

// ---- normalize() ---------------------------------------------------------------------------

PyObject* fn_normalize(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    bind("normalize", args, kwargs, {"text", "config"}, 1, a);
    TextArg text = to_text_arg(a[0], "text", true);
    Config config;
    if (a[1]) {
      expect_instance(a[1], T_Config, "config");
      config = SharedBorrow<Config>(a[1]).value();  // the passes read this copy
    }
    auto result = unlocked(text.view.size(), [&] {
      return text.is_owned ? normalize(std::move(text.owned), config) : normalize(text.view, config);
    });
    if (!result) throw_core(result.error());
    return make(T_Normalized, std::move(*result));
  });
}

}  // namespace kestrix::py
