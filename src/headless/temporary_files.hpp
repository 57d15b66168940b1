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

// A temporary file left by a crash: the name under which it was already
// published (a second link to the same file), if it was.
std::optional<Ref> published_name(const Ref& temp, const Ref& output_file);

// The temporary files of batch `batch_id` in the given folders, as
// (path, index, extension) tuples.
Ref leftovers(const Ref& folders, const Ref& batch_id);

}  // namespace velmora::headless
