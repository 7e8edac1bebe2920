// Test-only extension for tools/tsan, never shipped: a deliberate data race in namespace
// core_fips. race() starts two native threads that write the same plain global with nothing
// ordering them (siblings: only their creation and the joins synchronise), so the report does not
// depend on scheduling. tools/tsan requires ThreadSanitizer to report it, and its filter to count
// the report as ours, before it trusts a clean run of the real module.
#include <Python.h>

#include <thread>

namespace core_fips {
namespace {

long unguarded_total = 0;  // racy on purpose

void bump() {
  for (int i = 0; i < 1000; ++i) unguarded_total = unguarded_total + 1;
}

PyObject* race(PyObject*, PyObject*) {
  std::thread first(bump), second(bump);
  first.join();
  second.join();
  return PyLong_FromLong(unguarded_total);
}

PyMethodDef methods[] = {{"race", race, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};
PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_core_fips_tsan_canary",
                          nullptr,
                          0,
                          methods,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace
}  // namespace core_fips

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core_fips_tsan_canary() {
  return PyModuleDef_Init(&core_fips::definition);
}
