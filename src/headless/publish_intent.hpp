// Publishing that a resume can always account for.
//
// Before the controller links a source's temporary files to their names,
// the journal says which files they are: device, inode, size and
// modification time, by format. Linking keeps all four, so a resume finds
// a published output by them under its name or one of its fallback names,
// even when the temporary name is gone (removed by a later batch in the
// folder, or by `velmora-batch clean`, neither of which can know that a
// dead batch had published it). What carries no such line (a journal of
// an older version) is still found through its temporary name, as
// resume.hpp says.
#pragma once

#include "headless/ledger.hpp"

#include <optional>

namespace velmora::headless {

// The identity of a file, as the journal holds it:
// [st_dev, st_ino, st_size, st_mtime_ns]. Nothing when it cannot be read
// (publishing it will fail, and say why).
std::optional<Ref> file_identity(const Ref& path);

// The file named `output_file`, or one of the names publish() falls back
// to (its stem and extension with anything between), that has `identity`.
std::optional<Ref> find_published(const Ref& output_file, const Ref& identity);

// Takes into the ledger, for every source not finished, the outputs its
// journalled publish lines name and that are there.
void recover_published(Ledger& ledger);

}  // namespace velmora::headless
