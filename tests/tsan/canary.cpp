// Test-only extension for tools/tsan, never shipped: a deliberate data race in namespace
// core_fips. Two Python threads calling bump() at once write the same plain global with no
// synchronisation; tools/tsan requires ThreadSanitizer to report that, and its filter to count the
// report as ours, before it trusts a clean run of the real module.
#include <Python.h>

namespace core_fips {
namespace {

long unguarded_total = 0;  // racy on purpose

PyObject* bump(PyObject*, PyObject* arg) {
  const long n = PyLong_AsLong(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  for (long i = 0; i < n; ++i) unguarded_total = unguarded_total + 1;
  return PyLong_FromLong(unguarded_total);
}

PyMethodDef methods[] = {{"bump", bump, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};
PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_core_fips_tsan_canary", nullptr, 0, methods,
                          slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace core_fips

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core_fips_tsan_canary() {
  return PyModuleDef_Init(&core_fips::definition);
}
