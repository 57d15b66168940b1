// Outputs are written aside and published in one atomic step:
//
// - A worker has Maya write each output under a temporary name in the
//   output's own folder, ".velmora-<batch>.<source index><ext>", so a
//   reader never sees half a file under a real name and a batch can find
//   (and remove) what a crash left of its own work, and only that.
// - The controller publishes a finished temporary file by hard-linking it
//   to the output's name, or, when that is taken, to the first free name
//   in the window's order (_001, ... then time-stamped). A link fails
//   rather than replace an existing file, so choosing a free name and
//   claiming it are one step against the file system, whatever other
//   processes or machines write into the folder meanwhile.
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

// Publishes `temp` under `output_file`, or when that name is taken under
// the first free name after it; with `skip_existing` a taken name means
// the output is skipped instead (nothing is returned). Never replaces a
// file. The temporary name is left for discard().
std::optional<Ref> publish(const Ref& temp, const Ref& output_file, bool skip_existing);

// Removes a temporary name, if it is still there.
void discard(const Ref& temp);

// A temporary file left by a crash: the name under which it was already
// published (a second link to the same file), if it was.
std::optional<Ref> published_name(const Ref& temp, const Ref& output_file);

// The temporary files of batch `batch_id` in the given folders, as
// (path, index, extension) tuples.
Ref leftovers(const Ref& folders, const Ref& batch_id);

}  // namespace velmora::headless
