// Placeholder module entry point; the Python surface replaces it.
#include <Python.h>

static struct PyModuleDef zelto_module = {PyModuleDef_HEAD_INIT, "zelto_sdk", "", 0, nullptr,
                                          nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_zelto_sdk(void) { return PyModule_Create(&zelto_module); }
