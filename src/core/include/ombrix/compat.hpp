// Version switches for the CPython C API (3.7 through 3.13).
//
// 3.8 brought vectorcall (with underscore names until 3.9) and the
// method-descriptor flag that lets the interpreter call methods without
// creating a bound method; 3.7 falls back to tuple/dict calls.
#pragma once

// Shortcuts left out of a build, as bits (see scripts/shortcut-gains); none
// unless the build says otherwise.
#ifndef OMBRIX_WITHOUT
#define OMBRIX_WITHOUT 0
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Modules are built with hidden symbol visibility; before 3.9 the
// interpreter's PyMODINIT_FUNC does not mark the init function as exported.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

#if PY_VERSION_HEX >= 0x03080000
#define OMBRIX_HAVE_VECTORCALL 1
#else
#define OMBRIX_HAVE_VECTORCALL 0
#endif

#if PY_VERSION_HEX >= 0x03090000
#define OMBRIX_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define OMBRIX_VECTORCALL_FN PyObject_Vectorcall
#elif OMBRIX_HAVE_VECTORCALL
#define OMBRIX_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define OMBRIX_VECTORCALL_FN _PyObject_Vectorcall
#endif

#if OMBRIX_HAVE_VECTORCALL
#define OMBRIX_TPFLAGS_METHOD_DESCRIPTOR Py_TPFLAGS_METHOD_DESCRIPTOR
#else
#define OMBRIX_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

// Since 3.10 the interpreter names functions by qualified name in its
// keyword-argument errors; before that by plain name.
#if PY_VERSION_HEX >= 0x030A0000
#define OMBRIX_KEYWORD_ERRORS_USE_QUALNAME 1
#else
#define OMBRIX_KEYWORD_ERRORS_USE_QUALNAME 0
#endif
