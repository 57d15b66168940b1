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

    bool held() const noexcept;
    void close() noexcept;

private:
    Outcome attempt(const Ref& path, Kind kind, bool create);
    bool names_this_file(const Ref& path) const;

#ifdef _WIN32
    void* handle_ = nullptr;  // a Windows HANDLE
#else
    int fd_ = -1;
#endif
};

}  // namespace velmora::headless
