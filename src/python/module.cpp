// Module initialisation of orvik_can._native.
#include <Python.h>

static PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "orvik-can: the CAN codec of the orvik family.", 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&native_module); }
