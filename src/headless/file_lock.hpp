// A lock on a file that lasts as long as its holder: POSIX record locks
// (fcntl), which NFS servers honour across machines, or LockFileEx on
// Windows, which SMB shares honour. The operating system drops the lock
// when the holding process ends, however it ends, so a lock that can be
// taken means its last holder is gone.
#pragma once

#include "host/py.hpp"

namespace velmora::headless {

using py::Ref;

class FileLock {
public:
    enum class Kind { Shared, Exclusive };
    enum class Outcome {
        Held,     // locked, and the path names the locked file
        Busy,     // another holder's lock stands in the way
        Missing,  // no such file (only when not creating it)
    };

    enum class Probe {
        Free,     // a lock of the kind asked about could be taken now
        Busy,     // another holder's lock stands in the way
        Missing,  // no such file
    };

    FileLock() noexcept = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    // Closes the file, which lets go of the lock (no Python call).
    ~FileLock() { close(); }

    // One attempt without waiting: opens `path` (created when `create`),
    // locks it, and checks that the path still names the file locked. A
    // file removed or replaced between the opening and the locking (by a
    // cleaner that found it free) is let go and the attempt made again on
    // what the path names now. Any other failure raises OSError.
    Outcome take(const Ref& path, Kind kind, bool create);

    // Whether a lock of `kind` on `path` could be taken now, without
    // taking it and without write access to the file (another user's lock
    // file is read-only here). Only a look: a holder may lock the file the
    // moment after. Raises OSError when the file cannot be opened to read.
    // Never call it on a file this process holds a lock on: closing the
    // file it opens would drop that lock.
    static Probe probe(const Ref& path, Kind kind);

    // Whether `path` still names the file this lock holds.
    bool names(const Ref& path) const;

    bool held() const noexcept;
    void close() noexcept;

private:
    Outcome attempt(const Ref& path, Kind kind, bool create);

#ifdef _WIN32
    void* handle_ = nullptr;  // a Windows HANDLE
#else
    int fd_ = -1;
#endif
};

}  // namespace velmora::headless
