// Nothing partial, nothing temporary left behind.
//
// A worker has Maya write each output under a temporary name in the
// output's own folder, ".velmora-<batch>.<source index><ext>": a reader
// never sees half a file under a real name, and a batch can find (and
// remove) what a crash left of its own work, and only that. A temporary
// file goes once its source is journalled, whatever became of it, or when
// a later run of the batch finds it.
#pragma once

#include "host/stdlib.hpp"

#include <optional>

namespace velmora::headless {

using py::Ref;

// The mark of one source's temporary files: "<batch>.<index>".
Ref temp_tag(const Ref& batch_id, long long index);
// The temporary name an output with the name `output_file` is written to.
Ref temp_path(const Ref& output_file, const Ref& tag);
// Whether a file name is one of velmora's temporary names (any batch).
bool is_temp_name(const Ref& file_name);

// Removes a temporary name, if it is still there.
void discard(const Ref& temp);
// Removes the temporary files of one source, for each output format: its
// outputs are `output_base` + "." + format.
void discard_temps(const Ref& output_base, const Ref& formats, const Ref& tag);

// Where neither a hard link nor a rename that refuses to replace works
// (exFAT, many SMB mounts), an output's name is claimed by creating it
// exclusively, and the finished file is renamed over that claim
// (publishing.hpp). Until then the claim is an empty file under the
// output's name, recorded first by a marker beside the temporary file,
// "<temporary name>.claim": the claim's base name, and once made its
// device and inode. A dead batch's marker is one of its temporary files,
// and removing it removes the claim it names when that is still the empty
// file it made; a recorded claim is never taken for an output.
Ref claim_marker(const Ref& temp);
bool is_claim_marker(const Ref& path);
// Writes the marker (on the disk when this returns); `identity` is None
// before the claim is made, [st_dev, st_ino] after.
void note_claim(const Ref& marker, const Ref& claim, const Ref& identity);
// Removes the claim that `marker` names if it is still the empty file the
// marker's batch made; its path when it was removed. Leaves the marker.
std::optional<Ref> drop_claim(const Ref& marker);
// Whether `path` is an empty file that a claim marker in its folder
// names: a name being claimed, not an output.
bool is_claimed(const Ref& path);

// A temporary file left by a crash: the name under which it was already
// published (a second link to the same file), if it was.
std::optional<Ref> published_name(const Ref& temp, const Ref& output_file);

// The temporary files of batch `batch_id` in the given folders, as
// (path, index, extension) tuples.
Ref leftovers(const Ref& folders, const Ref& batch_id);

}  // namespace velmora::headless
