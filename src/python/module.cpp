// The module definition: multi-phase initialisation whose exec step adds the attributes,
// SpanMapError, the eighteen classes and the five functions, in that order.
#include "python/py.hpp"

namespace kestrix::py {

extern PyMethodDef g_private_functions[];  // private.cpp: the command line's, NULL-terminated

namespace {

PyMethodDef g_functions[] = {
    KX_M("normalize", fn_normalize, "normalize(text, config=None)\n--\n\n텍스트를 정규화하고 원문을 잇는 매핑을 함께 "
     "낸다."),
    KX_M("detect", fn_detect, "detect(text, config=None)\n--\n\n텍스트에서 개인정보를 탐지한다."),
    KX_M("mask", fn_mask, "mask(text, policies=None, config=None)\n--\n\n탐지하고 곧바로 마스킹한다.\n\n`policies` 를 "
     "주지 않으면 엔티티 이름 자리표시자로 통째 치환한다."),
    KX_M("unmask", fn_unmask, "unmask(masked, restore)\n--\n\n토큰화로 가린 텍스트를 원문으로 되돌린다.\n\n토큰 모양이 "
     "깨졌거나 표에 없는 번호를 가리키면 `SpanMapError` 를 낸다. 조용히 넘기지 않는\n이유는, 복원 실패를 눈치채지 못한 "
     "채 원문을 되찾았다고 믿는 것이 이 라이브러리가 막으려는\n바로 그 사고이기 때문이다."),
    KX_M("entity_names", (method0<PyObject, entity_name_list, "entity_names">), "entity_names()\n--\n\n이 빌드가 "
     "다루는 엔티티 이름 전부."),
};

// Adds a borrowed value (nullptr: the error that made it is set).
void add(PyObject* m, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(m, name, check(value)) < 0) throw_set();
}

// Adds a new reference.
void add_owned(PyObject* m, const char* name, PyObject* value) { add(m, name, Ref::steal(value).get()); }

int exec_module(PyObject* m) {
  return guard<int>([&] {
    if (!PyModule_Check(m)) throw_error(PyExc_TypeError, "expected a module object");
    add_owned(m, "__version__", PyUnicode_FromString("0.1.0"));
    add_owned(m, "__status__", PyUnicode_FromString("span, normalize, detect, and mask layers are available"));
    add(m, "__has_hash_policy__", Py_True);
    add(m, "SpanMapError", span_map_error_type());
    if (!ensure_types()) throw_set();
    for (int i = 0; i < T_COUNT; ++i) add(m, type_names[i], type_object(static_cast<TypeId>(i)));
    // The functions belong to the package that re-exports them (as the classes do): pickle and
    // help() find them there.
    Ref modname = Ref::steal(check(PyUnicode_FromString("kestrix")));
    for (PyMethodDef& def : g_functions) add_owned(m, def.ml_name, PyCFunction_NewEx(&def, m, modname.get()));
    for (PyMethodDef* def = g_private_functions; def->ml_name; ++def)
      add_owned(m, def->ml_name, PyCFunction_NewEx(def, m, modname.get()));
    return 0;
  }, -1);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// The name, the doc, no per-module state, no methods (the exec slot adds the functions).
PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "kestrix._kestrix",
                        "모듈 이름은 공유 라이브러리 파일 이름과 같아야 한다.", 0, nullptr, g_slots,
                        nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kestrix::py

// The extension is the package's kestrix/_kestrix module; kestrix/__init__.py re-exports it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kestrix(void) {
  return PyModuleDef_Init(&kestrix::py::g_module);
}
