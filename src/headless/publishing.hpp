// Publishing an output: one atomic claim of a name, in the window's order.
//
// - The controller publishes a finished temporary file (see
//   temporary_files.hpp) by hard-linking it to the output's name, or, when
//   that is taken, to the first free name in the window's order (_001, ...
//   then time-stamped). A link fails rather than replace an existing file,
//   so choosing a free name and claiming it are one step against the file
//   system, whatever other processes or machines write into the folder.
// - Sources that can compete for one output name (a.ma and a.mb both make
//   a.fbx) are converted, and so published, one after the other in the
//   window's order, so that a.ma gets a.fbx and a.mb a_001.fbx however
//   many workers run and whichever finishes first.
#pragma once

#include "host/stdlib.hpp"

#include <optional>
#include <vector>

namespace velmora::headless {

using py::Ref;

// How a share lets a name be claimed: a hard link (the temporary name
// stays, for discard()); where links are refused, a rename that refuses
// to replace; where that is refused too, an exclusive create of the name
// and a rename over it (temporary_files.hpp records such a claim).
enum class PublishWay { Link, Rename, ClaimAndRename };

// Publishes `temp` under `output_file`, or when that name is taken under
// the first free name after it; with `skip_existing` a taken name means
// the output is skipped instead (nothing is returned). Never replaces a
// file. A temporary name still there is left for discard(). `way`, when
// given, says how the last name was tried.
std::optional<Ref> publish(const Ref& temp, const Ref& output_file, bool skip_existing,
                           PublishWay* way = nullptr);

// Whether a name is taken: anything there, a dangling link included (a
// link, or a rename that refuses to replace, refuses such a name), but
// not another batch's claim of the name, an empty file that is no output.
// The one test of a free name for a run's claims and a dry run's plan
// alike (the claim itself is what decides between two batches).
bool is_taken(const Ref& name);

// The name publish() would claim now for `output_file`, where a name is
// free when it is not taken and not in `planned` (a set of the names a dry
// run has claimed already); nothing when it would be skipped.
std::optional<Ref> planned_name(const Ref& output_file, bool skip_existing, const Ref& planned);

// What a source's output names are made from: its folder and its base
// name without the extension, letter case folded ("sub/a" for sub/A.ma;
// the folder may be served from a file system that ignores case).
Ref output_stem(const Ref& relative_path);

// Two sources can compete for an output name when their stems are equal
// (a.ma and a.fbx both make a.mb) or one is the other followed by numbered
// suffixes (a.ma may have to take a_001.mb, which a_001.ma makes too; the
// fallbacks are _001 ... and time stamps, each "_" and digits), and so on
// through a chain of such sources. shot_010.ma and shot_020.ma do not
// compete, unless a shot.ma links them. The sources (relative paths, "/")
// in groups: for each source, the number of its group; groups are
// numbered in the order of their first source.
std::vector<std::size_t> competition_groups(const Ref& sources);

// Sources that can compete for an output name, as chains in the window's
// order: a member of a chain may start only when every member before it
// has finished, so that they publish in the window's order. Chains are
// numbered in the order of their first source.
struct CompetingChains {
    std::vector<std::vector<long long>> chains;  // per chain, ascending
    std::vector<std::size_t> chain_of;           // per source
};
CompetingChains competing_chains(const Ref& sources);

}  // namespace velmora::headless
