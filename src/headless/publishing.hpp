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

#include <functional>
#include <optional>
#include <vector>

namespace velmora::headless {

using py::Ref;

// Publishes `temp` under `output_file`, or when that name is taken under
// the first free name after it; with `skip_existing` a taken name means
// the output is skipped instead (nothing is returned). Never replaces a
// file. The temporary name is left for discard().
std::optional<Ref> publish(const Ref& temp, const Ref& output_file, bool skip_existing);

// The name publish() would claim now for `output_file`, with `is_free`
// standing in for the claim (a dry run's test: nothing there, nothing
// planned there); nothing when it would be skipped.
std::optional<Ref> planned_name(const Ref& output_file, bool skip_existing,
                                const std::function<bool(const Ref&)>& is_free);

// What decides whether two sources can compete for one output name: the
// folder and the base name without its extension, letter case folded and
// any trailing numbered suffixes (_001, _002_001, a time stamp) cut. a.ma
// and a.fbx both make a.mb; a_001.ma makes a_001.mb, the name a.fbx takes
// when a.mb exists. Case is folded because the folder may be served from
// a file system that ignores it.
Ref competition_key(const Ref& relative_path);

// The sources (relative paths, "/") grouped by competition key: for each
// source, the number of its group; groups are numbered in the order of
// their first source.
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
