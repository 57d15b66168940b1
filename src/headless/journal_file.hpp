// Writing the journal (its format is described in journal.hpp).
#pragma once

#include "headless/journal.hpp"

namespace velmora::headless {

class Journal {
public:
    // A new journal at `path` whose first line is `batch`. It replaces a
    // journal that was there in one step, so a crash leaves one or the
    // other, never half of a new one; a write that fails leaves neither
    // the new file nor its staged copy.
    static Journal start(const Ref& path, const Ref& batch);
    // An existing journal (read_journal accepted it), to be continued. A
    // last line that a crash left unfinished is cut first, on disk, so the
    // next record starts a line of its own.
    static Journal reopen(const Ref& path);

    // One line, on disk (flushed and synced) when this returns.
    void append(const Ref& record);
    void close();

private:
    explicit Journal(Ref file) : file_(std::move(file)) {}
    Ref file_;
};

// A source path of the batch (relative, "/"-separated) joined to a folder
// with the platform's separator.
Ref full_path(const Ref& folder, const Ref& relative);
// The relative form of a path under `folder`.
Ref relative_path(const Ref& folder, const Ref& path);

}  // namespace velmora::headless
