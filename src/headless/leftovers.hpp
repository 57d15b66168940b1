// What dead batches leave behind, and how it is told from the work of
// batches still running.
//
// A batch holds a lock from before its first temporary file is written to
// its end: `.velmora-<batch>.lock` in the batch's folder, locked shared
// (every farm task of one batch, on any node, may hold it at once), and
// the same in each folder it writes into that lies elsewhere on disk (a
// link out of the batch's folder). The lock goes with the process that
// holds it, so a killed batch holds none.
//
// A temporary file ".velmora-<batch>.<index><ext>" leads to its batch's
// lock file in its own folder or the nearest folder above it, up its path
// as given and up its real path: whichever way the folder was reached, one
// of them finds the lock. Its batch is dead when every such lock file is
// free, or when there is none, and that is certain (every folder on the
// way could be looked in). Only then are its temporary files and its lock
// files removed, while the batch's holders are kept out: by taking the
// lock file exclusively or, when it is another user's and cannot be
// written, by the batch's cleaning mark `.velmora-<batch>.cleaning`
// (taken exclusively by the cleaner, looked at by every holder after it
// has locked). No age or time is ever guessed at.
#pragma once

#include "headless/file_lock.hpp"

#include <optional>
#include <string>
#include <vector>

namespace velmora::headless {

class BatchLock {
public:
    // Takes batch `batch_id`'s lock in `folder`, creating the lock file,
    // waiting while a cleaner holds it. Raises OSError when the lock file
    // cannot be made, RuntimeError when it stays taken.
    static BatchLock hold(const Ref& folder, const Ref& batch_id);
    // The same, and a lock in each folder of `writes_into` whose real path
    // is not inside the real path of `folder` (or, for one not made yet, in
    // the nearest folder above it that exists), each real folder once.
    static BatchLock hold(const Ref& folder, const Ref& batch_id, const Ref& writes_into);
    // Takes the lock named `name` exclusively in `folder`, in one attempt:
    // nothing when another process (or this one) holds it. Raises OSError
    // when the lock file cannot be made.
    static std::optional<BatchLock> hold_alone(const Ref& folder, const Ref& name);
    // Takes this lock also, shared, in the folders of `writes_into` that
    // hold() would take it in besides `folder`.
    void also_in(const Ref& folder, const Ref& writes_into);

    BatchLock(BatchLock&& other) noexcept;
    BatchLock& operator=(BatchLock&& other) noexcept;
    BatchLock(const BatchLock&) = delete;
    BatchLock& operator=(const BatchLock&) = delete;
    // Without release(), the file is closed, which lets go of the lock;
    // the lock file stays for a cleaner. No Python call.
    ~BatchLock();

    // Lets go of the locks, and removes each lock file that no other holder
    // (another task of the batch) has. Errors of class Exception are
    // dropped: the batch's results do not depend on them.
    void release();

private:
    struct Held {
        Ref path;
        FileLock lock;
    };
    explicit BatchLock(std::string key);
    void take(const Ref& path);

    std::vector<Held> held_;
    std::string key_;  // the batch, as this process's table of held locks knows it
    bool noted_ = false;
};

// The batch's folder (where its lock file lies) and the folders of its
// sources (where their outputs and temporary files are written), each once.
Ref batch_folders(const Ref& folder, const Ref& sources);

// What a cleaning did: lists of paths (str), and of (path, why) for what
// stays.
struct Cleaning {
    Ref removed = py::list();
    Ref refused = py::list();  // dead batches' files that could not be removed
    Ref left = py::list();     // files whose batch cannot be told dead
};

// Removes from the given folders (their own files, not their subfolders')
// the temporary files of batches that no longer run anywhere, and the lock
// files of such batches. A batch whose lock another process holds, or
// this process, is left alone.
Cleaning remove_dead_batches(const Ref& folders);

// velmora-batch clean FOLDER: argv the words after "clean". Removes what
// dead batches left anywhere under FOLDER, one line per file removed, one
// per file that could not be removed or was left in doubt, and counts;
// returns 0, or 1 when a dead batch's file could not be removed. A missing
// folder is a UsageError.
int clean_main(const Ref& argv);

}  // namespace velmora::headless
