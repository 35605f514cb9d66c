// Config, Normalized and normalize().
#include <iterator>
#include <utility>

#include "normalize/config.hpp"
#include "normalize/describe.hpp"
#include "normalize/pipeline.hpp"
#include "python/py.hpp"

namespace kestrix::py {
namespace {

// ---- Config --------------------------------------------------------------------------------

PyObject* config_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind_none("Config", args, kwargs);
    return make(T_Config, Config{});
  });
}

// The seven weights, in the order of the dict and of the set_weights parameters.
constexpr const char* kWeightNames[] = {
    "checksum_passed",    "checksum_failed",   "context",       "absorbed_whitespace",
    "absorbed_separator", "expanded_syllable", "replaced_char",
};
constexpr float Weights::*kWeights[] = {
    &Weights::checksum_passed,    &Weights::checksum_failed,   &Weights::context,
    &Weights::absorbed_whitespace, &Weights::absorbed_separator, &Weights::expanded_syllable,
    &Weights::replaced_char,
};
constexpr std::size_t kWeightCount = std::size(kWeights);
static_assert(std::size(kWeightNames) == kWeightCount);

PyObject* weights_dict(const Config& c) {
  Ref dict = Ref::steal(check(PyDict_New()));
  for (std::size_t i = 0; i < kWeightCount; ++i) {
    Ref v = Ref::steal(new_f32(c.weights.*kWeights[i]));
    if (PyDict_SetItemString(dict.get(), kWeightNames[i], v.get()) < 0) throw_set();
  }
  return dict.release();
}

KX_FAST(config_set_weights) {
  return guard([&]() -> PyObject* {
    auto a = bind<0>("set_weights", kWeightNames, KX_CALL);
    // Every given value is converted before any is written, so a bad one changes nothing.
    float values[kWeightCount] = {};
    for (std::size_t i = 0; i < kWeightCount; ++i)
      if (a[i]) values[i] = to_finite_f32(a[i], kWeightNames[i], kWeightNames[i]);
    ExclusiveBorrow<Config> cfg(self);
    for (std::size_t i = 0; i < kWeightCount; ++i)
      if (a[i]) cfg.value().weights.*kWeights[i] = values[i];
    return none();
  });
}

PyGetSetDef config_getset[] = {
    KX_SET(numeral_min_digits_without_context, "문맥 단서 없이 한글 수사를 변환할 최소 결과 자릿수. 기본 6."),
    KX_SET(numeral_min_digits_with_context, "문맥 단서가 있을 때의 최소 결과 자릿수. 기본 2."),
    KX_SET(nfc, "유니코드 조합 패스를 켠다."),
    KX_SET(fold, "전각 폴딩 패스를 켠다."),
    KX_SET(hangul, "한글 수사 역변환 패스를 켠다."),
    KX_SET(lookalike, "유사문자 교정 패스를 켠다."),
    KX_SET(separator, "구분자 흡수 패스를 켠다."),
    KX_SET(context_window, "문맥 단서를 찾을 창 크기(문자). 기본 24."),
    KX_SET(min_score, "이 점수 미만이면 결과로 내지 않는다. 기본 0.5."),
    KX_SET(min_context, "문맥이 필수인 엔티티가 요구하는 최소 문맥 총점. 기본 0.3."),
    KX_SET(min_veto, "부정 문맥이 후보를 버릴 수 있게 되는 최소 총점. 기본 0.5."),
    KX_G("weights", (get<Config, weights_dict>), nullptr),
    KX_END,
};

// Pickled as Config() and a state of every setting by name (the weights as their dict), which
// __setstate__ writes back through the setters and set_weights, with their checks.
PyObject* config_reduce(PyObject* self) {
  Ref state = Ref::steal(check(PyDict_New()));
  for (const PyGetSetDef* d = config_getset; d->name; ++d) {
    Ref v = Ref::steal(check(PyObject_GetAttrString(self, d->name)));
    if (PyDict_SetItemString(state.get(), d->name, v.get()) < 0) throw_set();
  }
  Ref no_args = Ref::steal(check(PyTuple_New(0)));
  return check(PyTuple_Pack(3, type_object(T_Config), no_args.get(), state.get()));
}

KX_FN(config_setstate, 1, "__setstate__", "state") {
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
}

PyMethodDef config_methods[] = {
    KX_M("set_weights", config_set_weights,
         "set_weights($self, checksum_passed=None, checksum_failed=None, context=None, "
         "absorbed_whitespace=None, absorbed_separator=None, expanded_syllable=None, "
         "replaced_char=None)\n--\n\n점수 가중치를 바꾼다. 주지 않은 것은 그대로 둔다.\n\n가중치의 "
         "뜻은 저장소 README 의 판정 규칙 절에 있다. 함부로 바꾸면 재현율과 정밀도가\n함께 움직이므로, "
         "바꾼 뒤에는 자기 데이터로 다시 재는 것이 맞다."),
    KX_M0("__reduce__", Config, config_reduce, "__reduce__($self)\n--\n\n"),
    KX_M("__setstate__", config_setstate, "__setstate__($self, state)\n--\n\n"),
    KX_END,
};

// ---- Normalized ----------------------------------------------------------------------------

PyGetSetDef normalized_getset[] = {
    KX_F(Normalized, text, "정규화된 텍스트."),
    KX_F(Normalized, map, "원문과 정규화문을 잇는 구간 정렬 테이블."),
    KX_END,
};

}  // namespace

const ClassDef class_Config = {
    .doc = "Config()\n--\n\n정규화와 탐지 전체를 아우르는 설정.\n\n기본값이 곧 권장값이다. 아무것도 "
           "바꾸지 않아도 된다.",
    KX_BOX(Config), .init = config_new, .methods = config_methods, .getset = config_getset,
};

const ClassDef class_Normalized = {
    .doc = "정규화 결과. 정규화문과 원문을 잇는 매핑을 함께 낸다.",
    KX_BOX(Normalized), .getset = normalized_getset,
};

Config config_arg(PyObject* config) {
  if (!config) return Config{};
  expect_instance(config, T_Config, "config");
  return SharedBorrow<Config>(config).value();
}

// ---- normalize() ---------------------------------------------------------------------------

void recycle_normalized(Normalized& n) {
  recycled::recycle_text(std::move(n.text));
  recycle(std::move(n.map));
}

KX_FN(fn_normalize, 1, "normalize", "text", "config") {
  return make_recycling<Normalized, recycle_normalized>(T_Normalized, on_text(a, normalize, normalize));
}

}  // namespace kestrix::py
