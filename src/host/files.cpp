#include "host/files.hpp"

#include "host/error.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <cerrno>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <stdio.h>
#endif

namespace velmora::host {
namespace {

#if defined(__linux__) || defined(__APPLE__)
// The path's bytes as the file system takes them (surrogate escapes of
// undecodable bytes turned back into those bytes).
py::Ref fs_bytes(const py::Ref& path) { return py::check(PyUnicode_EncodeFSDefault(path.get())); }

bool refused_by_system(int error) {
#if ENOTSUP != EOPNOTSUPP
    if (error == ENOTSUP) return true;
#endif
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// The system call itself: glibc wraps it only from 2.28 on, the very
// ceiling the module is held to, while kernels have had it since 3.15.
int rename_exclusively(const char* from, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned kNoReplace = 1U;  // RENAME_NOREPLACE
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, kNoReplace));
#elif defined(__APPLE__)
    return ::renamex_np(from, to, RENAME_EXCL);
#else
    (void)from;
    (void)to;
    errno = ENOSYS;
    return -1;
#endif
}
#endif

}  // namespace

bool exists(const py::Ref& path) { return py::truthy(os_path("exists", {path})); }

bool on_windows() { return py::equals(py::getattr(global("os"), "name"), "nt"); }

void remove_if_there(const py::Ref& path) {
    try {
        os("remove", {path});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) throw;
        PyErr_Clear();
    }
}

NoReplace rename_no_replace(const py::Ref& from, const py::Ref& to) {
#if defined(__linux__) || defined(__APPLE__)
    if (on_windows()) return NoReplace::Unsupported;  // Windows' view of paths, in the tests
    py::Ref a = fs_bytes(from);
    py::Ref b = fs_bytes(to);
    int status = 0;
    do {
        status = rename_exclusively(PyBytes_AsString(a.get()), PyBytes_AsString(b.get()));
    } while (status < 0 && errno == EINTR);
    if (status == 0) return NoReplace::Renamed;
    if (errno == EEXIST) return NoReplace::Taken;
    if (refused_by_system(errno)) return NoReplace::Unsupported;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, from.get(), to.get());
    throw py::PyError{};
#else
    (void)from;
    (void)to;
    return NoReplace::Unsupported;
#endif
}

void sync_folder(const py::Ref& folder) {
    if (on_windows()) return;
    py::Ref where = py::truthy(folder) ? folder : py::str(".");
    py::Ref fd = os("open", {where, py::getattr(global("os"), "O_RDONLY")});
    py::finally([&] { os("fsync", {fd}); }, [&] { os("close", {fd}); });
}

void write_json_file(const py::Ref& path, const py::Ref& value, bool synced) {
    py::Ref staged = py::format("{}.new-{}", {path, os("getpid", {})});
    try {
        py::Ref file = py::call(py::builtin("open"), {staged, "wb"});
        py::with(file, [&value, synced](const py::Ref& f) {
            py::call_method(f, "write", {py::json_line(value)});
            if (!synced) return;
            py::call_method(f, "flush");
            os("fsync", {py::call_method(f, "fileno")});
        });
        os("replace", {staged, path});
        if (synced) sync_folder(os_path("dirname", {path}));
    } catch (const py::PyError&) {
        py::PendingError pending;
        py::swallow([&] { os("remove", {staged}); });
        pending.rethrow();
    }
}

py::Ref read_json_file(const py::Ref& path) {
    py::Ref value = py::none();
    py::guard([&] {
        py::Ref data;
        py::Ref file = py::call(py::builtin("open"), {path, "rb"});
        py::with(file, [&data](const py::Ref& f) { data = py::call_method(f, "read"); });
        py::Ref parsed = py::json_parse(data);
        if (PyDict_Check(parsed.get())) value = parsed;
    });
    return value;
}

}  // namespace velmora::host
