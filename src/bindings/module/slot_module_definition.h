// SlotModuleDefinition: the multi-phase definition of a module that is
// defined by a slot array.
//
// A module defined as a PySlot array leaves its shared object twice: the
// export hook returns the array itself, and PyInit_* returns a PyModuleDef
// that carries the same array in a {Py_mod_slots, array} entry, so both lead
// to one module. The host requires such a definition's name, docstring and
// state size to repeat the array's own; this record takes the name and
// docstring once, from the same constants the array names, and sets the
// state size to 0 (neither module keeps per-module state).
//
// It lives for the life of the process (the host keeps a pointer to the
// definition), is filled before any host call, and is not copied: the
// definition points into the record's own slot list.
#pragma once

#include "bindings/compat/python_compat.h"

namespace tavrik::bindings {

struct SlotModuleDefinition {
  SlotModuleDefinition(const char* name, const char* doc, PySlot* module_slots)
      : carried{{Py_mod_slots, module_slots}, {0, nullptr}},
        definition{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, carried,
                   nullptr, nullptr, nullptr} {}
  SlotModuleDefinition(const SlotModuleDefinition&) = delete;
  SlotModuleDefinition& operator=(const SlotModuleDefinition&) = delete;

  PyModuleDef_Slot carried[2];
  PyModuleDef definition;
};

}  // namespace tavrik::bindings
