// A class whose layer has not landed yet: not constructible, no members.
#pragma once
#include "python/py.hpp"

#define KX_PLACEHOLDER_SPEC(Name, Doc)                                                   \
  namespace {                                                                            \
  PyType_Slot placeholder_slots_##Name[] = {                                             \
      {Py_tp_doc, const_cast<char*>(Doc)},                                               \
      {Py_tp_dealloc, reinterpret_cast<void*>(::kestrix::py::box_dealloc<int>)},         \
      {0, nullptr}};                                                                     \
  }                                                                                      \
  PyType_Spec spec_##Name = {"kestrix." #Name, sizeof(::kestrix::py::Box<int>), 0,       \
                             ::kestrix::py::kFlagsNoInit, placeholder_slots_##Name};

#define KX_PLACEHOLDER_FN(name)                                                          \
  PyObject* fn_##name(PyObject*, PyObject*, PyObject*) {                                 \
    PyErr_SetString(PyExc_NotImplementedError, #name " is not available yet");           \
    return nullptr;                                                                      \
  }
