// What the argument fuzzer's parts share: failing loudly, and the
// interpreter state made once when the fuzzer starts.
#pragma once

#include "bindings/compat/python_compat.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace argument_fuzz {

// ---------------------------------------------------------------------------
// Failing loudly.

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "argument_conversion_fuzz: invariant broken: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::fflush(stderr);
  std::abort();
}

// TAVRIK_FUZZ_TRACE=1 prints each operation (and converter argument) to
// standard error, for reading a reproducer.
inline bool tracing() {
  static const bool on = std::getenv("TAVRIK_FUZZ_TRACE") != nullptr;
  return on;
}

inline void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

inline PyObject* must(PyObject* object, const char* what) {
  if (object == nullptr) fail(what);
  return object;
}

// ---------------------------------------------------------------------------
// Process-wide interpreter state, made once.

struct Interpreter {
  PyObject* ns = nullptr;  // the prelude's namespace
  PyObject* state = nullptr;
  PyObject* storage_class = nullptr;
  PyObject* large_store = nullptr;
  PyObject* expected = nullptr;   // tuple of acceptable exception types
  PyObject* raisable = nullptr;   // tuple of exception classes fuzzed objects raise
  PyObject* consulted = nullptr;
  std::vector<PyObject*> classes;  // long-lived objects whose counts are checked
  std::string directory;
  std::string roundtrip_path;

  PyObject* get(const char* name) const {
    return must(PyDict_GetItemString(ns, name), name);  // borrowed
  }
};

inline Interpreter* py = nullptr;

}  // namespace argument_fuzz
