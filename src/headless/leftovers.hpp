// What dead batches leave behind, and how it is told from the work of
// batches still running.
//
// A batch holds a lock from before its first temporary file is written to
// its end: `.velmora-<batch>.lock` in the batch's folder, locked shared
// (every farm task of one batch, on any node, may hold it at once). The
// lock goes with the process that holds it, so a killed batch holds none.
// A temporary file ".velmora-<batch>.<index><ext>" leads to its batch's
// lock file in its own folder or the nearest folder above it; its batch
// is dead when that lock can be taken exclusively, or when there is no
// lock file at all. Only then are its temporary files and its lock file
// removed, under that exclusive lock. No age or time is ever guessed at.
#pragma once

#include "headless/file_lock.hpp"

#include <optional>
#include <string>

namespace velmora::headless {

class BatchLock {
public:
    // Takes batch `batch_id`'s lock in `folder`, creating the lock file,
    // waiting while a cleaner holds it. Raises OSError when the lock file
    // cannot be made, RuntimeError when it stays taken.
    static BatchLock hold(const Ref& folder, const Ref& batch_id);
    // Takes the lock named `name` in `folder` exclusively, in one attempt:
    // nothing when another process (or this one) holds it. Raises OSError
    // when the lock file cannot be made.
    static std::optional<BatchLock> hold_alone(const Ref& folder, const Ref& name);

    BatchLock(BatchLock&&) noexcept = default;
    BatchLock& operator=(BatchLock&&) noexcept = default;
    BatchLock(const BatchLock&) = delete;
    BatchLock& operator=(const BatchLock&) = delete;
    // Without release(), the file is closed, which lets go of the lock;
    // the lock file stays for a cleaner. No Python call.
    ~BatchLock();

    // Lets go of the lock, and removes the lock file when no other holder
    // (another task of the batch) has it. Errors of class Exception are
    // dropped: the batch's results do not depend on them.
    void release();

private:
    BatchLock(Ref path, std::string key);

    Ref path_;
    std::string key_;  // the batch, as this process's table of held locks knows it
    FileLock lock_;
};

// The batch's folder (where its lock file lies) and the folders of its
// sources (where their outputs and temporary files are written), each once.
Ref batch_folders(const Ref& folder, const Ref& sources);

// Removes from the given folders (their own files, not their subfolders')
// the temporary files of batches that no longer run anywhere, and the lock
// files of such batches. A batch whose lock another process holds, or
// this process, is left alone. Returns the paths removed, a list of str.
Ref remove_dead_batches(const Ref& folders);

// velmora-batch clean FOLDER: argv the words after "clean". Removes what
// dead batches left anywhere under FOLDER, one line per file removed and a
// count; returns 0. A missing folder is a UsageError.
int clean_main(const Ref& argv);

}  // namespace velmora::headless
