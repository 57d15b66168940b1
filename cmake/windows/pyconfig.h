/* Windows x64 configuration of the Python headers, for building velmora
 * with mingw-w64 against the headers of a Linux Python (Debian ships no
 * Windows pyconfig.h). It sets what the headers read from pyconfig.h, with
 * the values of CPython's own Windows build (PC/pyconfig.h): an x64 LLP64
 * target (long is 4 bytes, pointers and Py_ssize_t 8), a shared python3.dll
 * whose functions and data are imported, and no POSIX headers.
 *
 * Only the limited API is compiled against this file, so nothing here can
 * change the layout of a structure the module shares with the interpreter
 * beyond PyObject and PyModuleDef, which depend on the sizes alone. */
#ifndef VELMORA_WINDOWS_PYCONFIG_H
#define VELMORA_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h describes 64-bit x86 Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* Extension modules import the interpreter's names from python3.dll. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Sizes of the x64 Windows ABI. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

/* Py_ssize_t: the headers make it intptr_t (pointer-sized, as sizes are
 * here), which on x64 Windows is long long, the __int64 of CPython's own
 * Windows build; PY_SSIZE_T_MAX comes with it. */
#define HAVE_LONG_LONG 1

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_IO_H 1
#define HAVE_USABLE_WCHAR_T
#define Py_UNICODE_SIZE 2
#define PY_UNICODE_TYPE wchar_t

#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE

#endif /* VELMORA_WINDOWS_PYCONFIG_H */
