// The headless batch's options, declared once.
//
// Every keyword of velmora.batch and start_batch and every option of
// velmora-batch (and of its plan) is one row of kOptions. The rows drive
// the command's parser and its --help, the keywords and the signatures of
// both functions, what the journal, a farm plan and a background record
// keep of the batch's choices (and read back: a choice a record lacks reads
// as its default, so what was recorded before it existed resumes), and what
// the worker is sent with each file.
//
// A new choice that changes what a batch writes is: a field in Choices and
// in BatchArguments, its row (with `record`: it belongs to the batch's
// identity), and the code that acts on it (for one the worker acts on,
// mark it `worker` and read it in worker.cpp). tests/test_headless_choices.py
// takes it through every entry point without a new test.
#pragma once

#include "host/py.hpp"

#include <cstddef>
#include <initializer_list>

namespace velmora::headless {

using py::Ref;

// The user's choices, checked (make_request). Each list keeps the window's
// order. The choices the window has are recorded always; the pipeline's
// only when chosen, and their defaults change nothing it does.
struct Choices {
    Ref extensions;                  // list of str: ".ma", ".mb", ".fbx"
    Ref outputs;                     // list of str: "ma", "mb", "fbx"
    Ref preset;                      // str: "Default", "Animation" or "Models Only"
    bool recursive = true;
    bool skip_existing = false;
    Ref output_folder = py::none();  // str (absolute): outputs mirrored under it
    Ref fbx_version = py::none();    // str such as "FBX201800", set before each FBX export
    bool fbx_ascii = false;          // FBX files written as text
    Ref include = py::list();        // list of shell-style patterns; empty: every source
    Ref exclude = py::list();        // list of shell-style patterns
    Ref scene_scripts = py::str("off");  // "off": a scene's script nodes do not run on open; "run"
    bool verify = true;              // each Maya output read back against its source before it is published
};

// A batch's arguments as given, before any check: velmora.batch's keywords,
// velmora-batch's options, a farm task's plan, a background record. Made
// with every option at its row's default.
struct BatchArguments {
    BatchArguments();

    Ref folder;            // path-like
    Ref sources;           // "ma,mb" or an iterable of "ma", ".MB", ...
    Ref outputs;           // as sources
    Ref preset;
    bool recursive = true;
    bool skip_existing = false;
    Ref jobs;              // None: by cores and memory
    Ref timeout;           // seconds, or None
    Ref mayapy;            // None: find_mayapy's search
    Ref journal;           // None: in the user's cache, by the batch's identity
    bool resume = false;
    bool restart = false;       // not with resume
    bool retry_failed = false;  // with resume only
    Ref output_folder;     // path-like, or None: next to the sources
    Ref fbx_version;       // "FBX" and six digits, or None
    bool fbx_ascii = false;
    Ref include;           // a pattern or an iterable of them, or None
    Ref exclude;
    bool dry_run = false;
    Ref progress;          // a callable or None
    Ref scene_scripts;     // "off" or "run"
    bool verify = true;
};

// What a value is: its Python default and annotation, its command-line
// form, and the sample the table's test gives.
enum class Type {
    Flag,      // bool; on the command line a switch
    Formats,   // names out of `allowed`: "ma,mb" or an iterable of them
    OneOf,     // one str out of `allowed`
    Text,      // a str, or None
    Path,      // a path-like, or None
    Patterns,  // a pattern or an iterable of them, or None; repeatable
    Whole,     // an int, or None
    Seconds,   // a number, or None
    Callable,  // a callable, or None; no command-line form
};

// The entry points that take an option as a keyword.
enum Taker : unsigned { kBatch = 1, kStartBatch = 2, kBoth = kBatch | kStartBatch };

struct Option;
// Checks a given value (a UsageError when it is bad) and returns it as the
// batch keeps it.
using Check = Ref (*)(const Ref& given, const Option& option);

struct Option {
    const char* keyword = nullptr;  // velmora.batch's keyword
    int place = 0;                  // its place among batch()'s parameters after folder
    Type type = Type::Text;
    const char* fallback = nullptr;  // the default: text ("ma,mb,fbx" for names), nullptr for None
    bool on = false;                 // a flag's default
    const char* allowed = nullptr;   // Formats, OneOf: the names, ","-separated, in order
    const char* flag = nullptr;      // the command line's spelling, nullptr: none
    bool inverted = false;           // the switch turns the flag off (--no-subdirs)
    const char* metavar = nullptr;
    const char* help = nullptr;
    unsigned takers = kBatch;
    // A choice that changes what a batch writes: the key it is recorded
    // under (in the journal, a plan, a background record) and part of the
    // batch's identity. nullptr: a run's option.
    const char* record = nullptr;
    bool always = false;   // recorded even at its default (the window's choices)
    bool worker = false;   // sent to the worker with each file, under `keyword`
    bool planned = false;  // a run's option a farm plan carries; a node's own replaces it
    bool lists = false;    // chooses which files of a folder are sources (inspect takes it too)
    Check check = nullptr;
    const char* noun = nullptr;   // the check's name for it in messages
    const char* example = nullptr;  // a value besides the default that the check takes
    Ref BatchArguments::*given = nullptr;
    bool BatchArguments::*given_flag = nullptr;
    Ref Choices::*chosen = nullptr;
    bool Choices::*chosen_flag = nullptr;

    static constexpr Option make(const char* keyword, int place, Type type) {
        Option o;
        o.keyword = keyword;
        o.place = place;
        o.type = type;
        return o;
    }
    constexpr Option defaults(const char* text) const {
        Option o = *this;
        o.fallback = text;
        return o;
    }
    constexpr Option defaults(bool value) const {
        Option o = *this;
        o.on = value;
        return o;
    }
    constexpr Option out_of(const char* names) const {
        Option o = *this;
        o.allowed = names;
        return o;
    }
    constexpr Option command(const char* spelling, const char* text, const char* var = nullptr) const {
        Option o = *this;
        o.flag = spelling;
        o.help = text;
        o.metavar = var;
        return o;
    }
    constexpr Option turned_off_by(const char* spelling, const char* text) const {
        Option o = command(spelling, text);
        o.inverted = true;
        return o;
    }
    constexpr Option taken_by(unsigned which) const {
        Option o = *this;
        o.takers = which;
        return o;
    }
    constexpr Option recorded_as(const char* key, bool always_recorded = false) const {
        Option o = *this;
        o.record = key;
        o.always = always_recorded;
        return o;
    }
    constexpr Option for_the_worker() const {
        Option o = *this;
        o.worker = true;
        return o;
    }
    constexpr Option choosing_sources() const {
        Option o = *this;
        o.lists = true;
        return o;
    }
    constexpr Option in_the_plan() const {
        Option o = *this;
        o.planned = true;
        return o;
    }
    constexpr Option checked(Check function, const char* name, const char* sample = nullptr) const {
        Option o = *this;
        o.check = function;
        o.noun = name;
        o.example = sample;
        return o;
    }
    constexpr Option held(Ref BatchArguments::*field) const {
        Option o = *this;
        o.given = field;
        return o;
    }
    constexpr Option held(bool BatchArguments::*field) const {
        Option o = *this;
        o.given_flag = field;
        return o;
    }
    constexpr Option kept(Ref Choices::*field) const {
        Option o = *this;
        o.chosen = field;
        return o;
    }
    constexpr Option kept(bool Choices::*field) const {
        Option o = *this;
        o.chosen_flag = field;
        return o;
    }
};

// The checks of the choices (options.cpp).
Ref checked_extensions(const Ref& given, const Option& option);  // Formats as ".ma", ...
Ref checked_formats(const Ref& given, const Option& option);
Ref checked_one_of(const Ref& given, const Option& option);
Ref checked_output_folder(const Ref& given, const Option& option);
Ref checked_fbx_version(const Ref& given, const Option& option);
Ref checked_patterns(const Ref& given, const Option& option);
Ref checked_flag(const Ref& given, const Option& option);

constexpr const char kFormatNames[] = "ma,mb,fbx";

// In the order of the command line's help. A new keyword of batch() takes
// the next place: callers may pass arguments by position.
constexpr Option kOptions[] = {
    Option::make("sources", 0, Type::Formats)
        .defaults(kFormatNames).out_of(kFormatNames).taken_by(kBoth).choosing_sources()
        .command("--sources", "source types (default: ma,mb,fbx)")
        .recorded_as("extensions", true).checked(checked_extensions, "source type")
        .held(&BatchArguments::sources).kept(&Choices::extensions),
    Option::make("outputs", 1, Type::Formats)
        .defaults("ma").out_of(kFormatNames).taken_by(kBoth)
        .command("--outputs", "output formats (default: ma)")
        .recorded_as("outputs", true).checked(checked_formats, "output format")
        .held(&BatchArguments::outputs).kept(&Choices::outputs),
    Option::make("preset", 2, Type::OneOf)
        .defaults("Default").out_of("Default,Animation,Models Only").taken_by(kBoth)
        .command("--preset", "FBX preset: Default, Animation or 'Models Only'")
        .recorded_as("preset", true).for_the_worker().checked(checked_one_of, "FBX preset")
        .held(&BatchArguments::preset).kept(&Choices::preset),
    Option::make("recursive", 3, Type::Flag)
        .defaults(true).taken_by(kBoth).choosing_sources()
        .turned_off_by("--no-subdirs", "leave out subfolders")
        .recorded_as("recursive", true).checked(checked_flag, "recursive")
        .held(&BatchArguments::recursive).kept(&Choices::recursive),
    Option::make("skip_existing", 4, Type::Flag)
        .defaults(false).taken_by(kBoth)
        .command("--skip-existing", "skip outputs that exist")
        .recorded_as("skip_existing", true).for_the_worker().checked(checked_flag, "skip_existing")
        .held(&BatchArguments::skip_existing).kept(&Choices::skip_existing),
    Option::make("output_folder", 12, Type::Path)
        .taken_by(kBoth)
        .command("--output-folder", "write the outputs under DIR, in the sources' subfolders "
                                    "(default: next to the sources)", "DIR")
        .recorded_as("output_folder").checked(checked_output_folder, "output folder")
        .held(&BatchArguments::output_folder).kept(&Choices::output_folder),
    Option::make("fbx_version", 13, Type::Text)
        .taken_by(kBoth)
        .command("--fbx-version", "the FBX file version to write, e.g. FBX201800", "FBXyyyy00")
        .recorded_as("fbx_version").for_the_worker().checked(checked_fbx_version, "FBX version", "FBX201800")
        .held(&BatchArguments::fbx_version).kept(&Choices::fbx_version),
    Option::make("fbx_ascii", 14, Type::Flag)
        .defaults(false).taken_by(kBoth)
        .command("--fbx-ascii", "write FBX files as text")
        .recorded_as("fbx_ascii").for_the_worker().checked(checked_flag, "fbx_ascii")
        .held(&BatchArguments::fbx_ascii).kept(&Choices::fbx_ascii),
    Option::make("include", 15, Type::Patterns)
        .taken_by(kBoth).choosing_sources()
        .command("--include", "take only sources whose path in the folder matches (repeatable)", "PATTERN")
        .recorded_as("include").checked(checked_patterns, "include")
        .held(&BatchArguments::include).kept(&Choices::include),
    Option::make("exclude", 16, Type::Patterns)
        .taken_by(kBoth).choosing_sources()
        .command("--exclude", "leave out sources whose path in the folder matches (repeatable)", "PATTERN")
        .recorded_as("exclude").checked(checked_patterns, "exclude")
        .held(&BatchArguments::exclude).kept(&Choices::exclude),
    Option::make("scene_scripts", 19, Type::OneOf)
        .defaults("off").out_of("off,run").taken_by(kBoth)
        .command("--scene-scripts", "off: open scenes without running their script nodes, the playback range "
                                    "restored from the scene; run: as Maya does (default: off)", "off|run")
        .recorded_as("scene_scripts").for_the_worker().checked(checked_one_of, "scene scripts")
        .held(&BatchArguments::scene_scripts).kept(&Choices::scene_scripts),
    Option::make("verify", 20, Type::Flag)
        .defaults(true).taken_by(kBoth)
        .turned_off_by("--no-verify", "publish Maya's outputs without reading them back against their sources")
        .recorded_as("verify").for_the_worker().checked(checked_flag, "verify")
        .held(&BatchArguments::verify).kept(&Choices::verify),
    // A run's options: how it runs, not what it writes (make_request checks
    // them, and background.cpp keeps start_batch's).
    Option::make("jobs", 5, Type::Whole)
        .taken_by(kBoth).in_the_plan()
        .command("--jobs", "mayapy workers (default: by cores and memory)")
        .held(&BatchArguments::jobs),
    Option::make("timeout", 6, Type::Seconds)
        .taken_by(kBoth).in_the_plan()
        .command("--timeout", "seconds one file may take")
        .held(&BatchArguments::timeout),
    Option::make("mayapy", 7, Type::Path)
        .taken_by(kBoth)
        .command("--mayapy", "the mayapy to run (default: $MAYA_LOCATION, then the standard places)")
        .held(&BatchArguments::mayapy),
    Option::make("journal", 8, Type::Path)
        .taken_by(kBoth)
        .command("--journal", "the batch's journal (default: in the user's cache)")
        .held(&BatchArguments::journal),
    Option::make("resume", 9, Type::Flag)
        .defaults(false)
        .command("--resume", "finish the batch its journal records")
        .held(&BatchArguments::resume),
    Option::make("restart", 18, Type::Flag)
        .defaults(false)
        .command("--restart", "start an interrupted batch over (its journal is kept aside)")
        .held(&BatchArguments::restart),
    Option::make("retry_failed", 10, Type::Flag)
        .defaults(false)
        .command("--retry-failed", "with --resume: convert the sources that failed again")
        .held(&BatchArguments::retry_failed),
    Option::make("dry_run", 17, Type::Flag)
        .defaults(false)
        .command("--dry-run", "list the sources and the names a run would write; start no Maya")
        .held(&BatchArguments::dry_run),
    Option::make("progress", 11, Type::Callable)
        .held(&BatchArguments::progress),
};

constexpr std::size_t kOptionCount = sizeof(kOptions) / sizeof(kOptions[0]);

namespace table_rules {

constexpr bool places_are_in_order() {
    for (std::size_t place = 0; place < kOptionCount; ++place) {
        int found = 0;
        for (const Option& o : kOptions) found += o.place == static_cast<int>(place) ? 1 : 0;
        if (found != 1) return false;
    }
    return true;
}

// A choice is checked, kept and held in the field of its type; a run's
// option is held only.
constexpr bool rows_are_whole() {
    for (const Option& o : kOptions) {
        bool flag = o.type == Type::Flag;
        if (flag ? (o.given_flag == nullptr || o.given != nullptr) : (o.given == nullptr || o.given_flag != nullptr)) {
            return false;
        }
        if (o.record != nullptr) {
            // checked() sets both; its noun stands for the function, whose
            // address a sanitized build does not compare at compile time.
            if (o.noun == nullptr) return false;
            if (flag ? o.chosen_flag == nullptr : o.chosen == nullptr) return false;
        } else if (o.chosen != nullptr || o.chosen_flag != nullptr || o.worker || o.noun != nullptr) {
            return false;
        }
        if ((o.type == Type::Formats || o.type == Type::OneOf) && o.allowed == nullptr) return false;
        if (o.type == Type::Callable && o.flag != nullptr) return false;
    }
    return true;
}

}  // namespace table_rules

static_assert(table_rules::places_are_in_order(), "batch()'s parameters take places 0, 1, 2, ... once each");
static_assert(table_rules::rows_are_whole(), "a row of kOptions lacks what its kind needs");

}  // namespace velmora::headless
