// What an inspection of scenes found that matters before converting them:
// one line per scene, and a tally over many. Both read the dicts that
// velmora.inspect returns, so that `velmora-batch inspect` and a batch's
// dry run say the same things in the same words.
#pragma once

#include "host/py.hpp"

#include <map>
#include <string>

namespace velmora::scene {

using py::Ref;

// The paths among a scene's references (key "references") or files it
// names ("external_files") that were not found: a list of str.
Ref missing(const Ref& facts, const char* key);

// True when the scene was read whole and nothing it names is missing.
bool whole(const Ref& facts);

// "Maya 2023, cm/deg/film, 415 nodes, plug-ins: mtoa 5.2.1.1, references:
// 1 missing of 3, ...": what one scene is and what it lacks, on one line.
Ref scene_line(const Ref& facts);

// What a scene needs that a conversion may miss (plug-ins, missing
// references and files, its script nodes, what could not be read), on
// one line; None when there is nothing to say.
Ref needs_line(const Ref& facts);

// Counts over many scenes, for a summary.
class Tally {
public:
    void scene(const Ref& facts);
    // A file that could not be read as a scene.
    void unread(const Ref& reason);

    long long scenes() const { return scenes_; }
    // Scenes that will likely fail: not read, or read with problems.
    long long failing() const { return unread_ + damaged_; }
    // Scenes read whole that may convert with parts missing.
    long long incomplete() const { return incomplete_; }
    // True when every scene was read whole and nothing it names is missing.
    bool all_whole() const { return failing() == 0 && incomplete_ == 0; }

    // The summary: what will likely fail or convert incompletely and why,
    // then scenes by Maya version, plug-ins needed and missing references
    // by how many scenes (a list of str).
    Ref lines() const;

private:
    long long scenes_ = 0;
    long long unread_ = 0;
    long long damaged_ = 0;
    long long incomplete_ = 0;
    long long missing_references_ = 0;  // scenes with one
    long long missing_files_ = 0;       // scenes with one
    long long with_scripts_ = 0;
    long long with_concerns_ = 0;
    std::map<std::string, long long> versions_;
    std::map<std::string, long long> plugins_;
    std::map<std::string, long long> references_;
};

}  // namespace velmora::scene
