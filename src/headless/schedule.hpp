// The order in which files are handed out, so that a batch finishes
// early: the most expensive first (longest processing time first), so the
// last minutes are not one worker alone with the biggest scene.
//
// - A file's cost is estimated from its size and its format's rate (Maya's
//   open and save take time roughly in proportion to a file's size, and
//   ASCII scenes parse slower than binary ones), refined from what the
//   batch has measured so far.
// - Sources that compete for an output name (publishing.hpp) go in the
//   window's order among themselves, one after the other: such a chain is
//   ranked by the cost of what remains of it, so a long chain starts early.
// - A file is handed out only while the memory its Maya needs fits beside
//   the files in hand (estimated from the sizes, see memory_for), unless
//   nothing is in hand.
#pragma once

#include "headless/publishing.hpp"

#include <array>
#include <deque>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace velmora::headless {

enum class SceneFormat { Ascii, Binary, Fbx };

// Seconds per file, learnt per source format: a line through the files
// measured so far (seconds against bytes), or the starting rates until
// there are enough of them.
class CostModel {
public:
    double estimate(long long bytes, SceneFormat format) const;
    void observe(long long bytes, SceneFormat format, double seconds);
    // How many files it has learnt from.
    long long observed() const;

private:
    struct Fit {
        double n = 0, sum_b = 0, sum_s = 0, sum_bb = 0, sum_bs = 0;
    };
    std::array<Fit, 3> fits_{};
};

// A source's format, from its extension.
SceneFormat format_of_source(const Ref& path);
// What a file is expected to cost before anything is measured (seconds:
// the starting rates), e.g. to balance farm tasks.
double starting_estimate(long long bytes, SceneFormat format);

// The memory one Maya needs to convert a scene of `bytes` bytes.
long long memory_for(long long bytes);
// The memory the machine can give now (bytes), if it says.
std::optional<long long> available_memory();

class Schedule {
public:
    // `sources`: full paths (their sizes are read now); `chains`: which
    // compete; `wanted`: the indices to convert, ascending.
    Schedule(const Ref& sources, const CompetingChains& chains, const std::deque<long long>& wanted);

    // Files waiting (in hand ones not counted).
    std::size_t waiting() const { return waiting_; }
    // Files that could start now, memory aside.
    std::size_t startable() const { return ready_.size(); }
    // The next file to hand out, if one may start now within `memory`
    // bytes beside the files in hand (no limit when unknown).
    std::optional<long long> take(std::optional<long long> memory);
    // A file in hand finished after `seconds` (or failed: no seconds).
    void finished(long long index, std::optional<double> seconds);
    // A file in hand goes back, to be handed out again first in its chain.
    void put_back(long long index);
    // How many files may be in hand at once, the biggest first, within
    // `memory` bytes (at least 1; the largest size_t when all of them fit).
    std::size_t fits_in(long long memory) const;
    // The memory the files in hand need.
    long long memory_in_hand() const { return memory_in_hand_; }
    double estimate(long long index) const;

private:
    void rank(std::size_t group);
    void rerank_all();
    std::optional<long long> head(std::size_t group) const;

    std::vector<long long> bytes_;
    std::vector<SceneFormat> formats_;
    std::vector<bool> wanted_;
    std::vector<std::vector<long long>> chains_;  // per group, ascending
    std::vector<std::size_t> group_of_;
    std::vector<std::size_t> next_;   // per group: position of its next member
    std::vector<bool> in_hand_;       // per group: a member is in hand
    std::vector<double> rank_of_;     // per group: its key in ready_
    std::set<std::pair<double, long long>> ready_;  // (-remaining cost, head)
    CostModel model_;
    std::size_t waiting_ = 0;
    long long memory_in_hand_ = 0;
    long long reranked_at_ = 0;
};

}  // namespace velmora::headless
