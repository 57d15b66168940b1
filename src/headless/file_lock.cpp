#include "headless/file_lock.hpp"

#include "host/stdlib.hpp"

#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace velmora::headless {
namespace {

// A cleaner that removes a lock file it found free races a holder that has
// opened it but not locked it yet; the holder sees it and opens anew. The
// race cannot repeat for long; the bound only keeps a broken file system
// from looping for good.
constexpr int kAttempts = 100;

}  // namespace

FileLock::FileLock(FileLock&& other) noexcept { *this = std::move(other); }

FileLock::Outcome FileLock::take(const Ref& path, Kind kind, bool create) {
    for (int i = 0; i < kAttempts; ++i) {
        Outcome outcome = attempt(path, kind, create);
        if (outcome != Outcome::Held || names(path)) return outcome;
        close();
    }
    return Outcome::Busy;
}

#ifdef _WIN32

namespace {

// The path as Windows' wide-character calls take it.
class WidePath {
public:
    explicit WidePath(const Ref& path) : text_(PyUnicode_AsWideCharString(path.get(), nullptr)) {
        if (text_ == nullptr) throw py::PyError{};
    }
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;
    ~WidePath() { PyMem_Free(text_); }
    const wchar_t* get() const noexcept { return text_; }

private:
    wchar_t* text_;
};

[[noreturn]] void raise_windows_error(DWORD error, const Ref& path) {
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error), path.get());
    throw py::PyError{};
}

// Every other opener may read, write and delete: a cleaner must be able to
// remove the file while a holder that lost the race still has it open.
HANDLE open_shared(const WidePath& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.get(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    if (GetFileInformationByHandle(a, &x) == 0 || GetFileInformationByHandle(b, &y) == 0) return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

FileLock::Outcome FileLock::attempt(const Ref& path, Kind kind, bool create) {
    close();
    WidePath wide(path);
    HANDLE h = open_shared(wide, GENERIC_READ | GENERIC_WRITE, create ? OPEN_ALWAYS : OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            if (!create) return Outcome::Missing;
        }
        // A file being deleted refuses to open until its last handle closes.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return Outcome::Busy;
        raise_windows_error(error, path);
    }
    handle_ = h;
    OVERLAPPED at{};
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (kind == Kind::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(h, flags, 0, 1, 0, &at) == 0) {
        DWORD error = GetLastError();
        close();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return Outcome::Busy;
        raise_windows_error(error, path);
    }
    return Outcome::Held;
}

// LockFileEx takes either kind of lock through a handle opened only to
// read, so a probe needs no write access; what it takes it lets go at once.
FileLock::Probe FileLock::probe(const Ref& path, Kind kind) {
    WidePath wide(path);
    HANDLE h = open_shared(wide, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Probe::Missing;
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return Probe::Busy;
        raise_windows_error(error, path);
    }
    OVERLAPPED at{};
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (kind == Kind::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    bool free = LockFileEx(h, flags, 0, 1, 0, &at) != 0;
    DWORD error = free ? ERROR_SUCCESS : GetLastError();
    if (free) UnlockFileEx(h, 0, 1, 0, &at);
    CloseHandle(h);
    if (free) return Probe::Free;
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return Probe::Busy;
    raise_windows_error(error, path);
}

bool FileLock::names(const Ref& path) const {
    WidePath wide(path);
    HANDLE now = open_shared(wide, 0, OPEN_EXISTING);
    if (now == INVALID_HANDLE_VALUE) return false;
    bool same = same_file(static_cast<HANDLE>(handle_), now);
    CloseHandle(now);
    return same;
}

bool FileLock::held() const noexcept { return handle_ != nullptr; }

void FileLock::close() noexcept {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)));
}

#else

namespace {

[[noreturn]] void raise_errno(const Ref& path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    throw py::PyError{};
}

// The path's bytes as the file system takes them (surrogate escapes of
// undecodable bytes turned back into those bytes).
Ref fs_bytes(const Ref& path) { return py::check(PyUnicode_EncodeFSDefault(path.get())); }

int open_lock_file(const char* path, bool create, int access = O_RDWR) {
    int flags = access | O_CLOEXEC;
#ifdef O_NOFOLLOW
    flags |= O_NOFOLLOW;  // a link planted under a lock file's name is not followed
#endif
    if (create) flags |= O_CREAT;
    int fd = -1;
    do {
        fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The whole file, whatever its length: F_SETLK does not wait.
int set_lock(int fd, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    int status = 0;
    do {
        status = ::fcntl(fd, F_SETLK, &range);
    } while (status < 0 && errno == EINTR);
    return status;
}

}  // namespace

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileLock::Outcome FileLock::attempt(const Ref& path, Kind kind, bool create) {
    close();
    Ref bytes = fs_bytes(path);
    const char* name = PyBytes_AsString(bytes.get());
    bool made = false;
    int fd = open_lock_file(name, false);
    if (fd < 0 && errno == ENOENT && create) {
        fd = open_lock_file(name, true, O_RDWR | O_EXCL);
        made = fd >= 0;
        if (fd < 0 && errno == EEXIST) return attempt(path, kind, create);  // made by another meanwhile
    }
    if (fd < 0) {
        if (errno == ENOENT && !create) return Outcome::Missing;
        raise_errno(path);
    }
    fd_ = fd;
    if (set_lock(fd, kind == Kind::Exclusive ? F_WRLCK : F_RDLCK) < 0) {
        int error = errno;
        // A file system without locks (ENOLCK) keeps no lock file made for nothing.
        bool drop = made && error != EACCES && error != EAGAIN && names(path);
        close();
        if (error == EACCES || error == EAGAIN) return Outcome::Busy;
        if (drop) ::unlink(name);
        errno = error;
        raise_errno(path);
    }
    return Outcome::Held;
}

// F_GETLK asks what would stand in the way of a lock without taking it,
// through a descriptor opened only to read (F_SETLK of a write lock needs
// one opened to write).
FileLock::Probe FileLock::probe(const Ref& path, Kind kind) {
    Ref bytes = fs_bytes(path);
    int fd = open_lock_file(PyBytes_AsString(bytes.get()), false, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT) return Probe::Missing;
        raise_errno(path);
    }
    struct flock range {};
    range.l_type = kind == Kind::Exclusive ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    int status = 0;
    do {
        status = ::fcntl(fd, F_GETLK, &range);
    } while (status < 0 && errno == EINTR);
    int error = errno;
    ::close(fd);
    if (status < 0) {
        errno = error;
        raise_errno(path);
    }
    return range.l_type == F_UNLCK ? Probe::Free : Probe::Busy;
}

// Python's stat: glibc's own stat functions are newer than the oldest
// glibc the module must load with.
bool FileLock::names(const Ref& path) const {
    Ref mine = py::call(host::attribute("os", "fstat"), {py::integer(fd_)});
    Ref named;
    try {
        named = py::call(host::attribute("os", "stat"), {path});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        PyErr_Clear();  // gone, or not reachable: not the file locked
        return false;
    }
    return py::truthy(py::call(py::getattr(host::attribute("os", "path"), "samestat"), {mine, named}));
}

bool FileLock::held() const noexcept { return fd_ >= 0; }

// Closing any descriptor of the file drops this process's record locks on
// it: a process keeps one descriptor per lock file.
void FileLock::close() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

#endif

}  // namespace velmora::headless
