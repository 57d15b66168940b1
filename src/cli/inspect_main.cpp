// velmora-batch inspect PATH...: what scenes are and what they need, read
// by velmora itself, without Maya: a line per scene, then a summary.
#include "cli/cli.hpp"

#include "headless/batch.hpp"
#include "headless/journal_file.hpp"
#include "headless/options.hpp"
#include "headless/progress.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"
#include "scene/findings.hpp"
#include "scene/inspect.hpp"

namespace velmora::cli {
namespace {

using py::Ref;

// Scenes inspected between two redraws of the progress line.
constexpr long long kRedrawEvery = 64;

Ref parse_inspect(const Ref& argv) {
    Ref parser = py::call(host::attribute("argparse", "ArgumentParser"), {},
                          {{"prog", "velmora-batch inspect"},
                           {"description", "Reads scenes without Maya and says, for each, its Maya version, units, "
                                           "plug-ins, the references and files it names that are missing, its script "
                                           "nodes and what could not be read; then a summary. Folders are listed as "
                                           "a batch lists them. Exit status: 0 when every scene was read whole and "
                                           "nothing it names is missing, 1 otherwise, 2 for a usage error."}});
    Ref add = py::getattr(parser, "add_argument");
    py::call(add, {"paths"}, {{"metavar", "PATH"}, {"nargs", "+"}, {"help", "scene files and folders of scenes"}});
    py::call(add, {"--json"}, {{"action", "store_true"}, {"help", "print the readings as a JSON list instead"}});
    headless::add_listing_options(parser);
    return py::call_method(parser, "parse_args", {argv});
}

// (shown, full) for every scene the paths name: a file as given, a
// folder's sources as a batch lists them. A path that is not there is a
// usage error, found before anything is read.
Ref scenes_of(const Ref& paths, const headless::Choices& choices) {
    py::for_each(paths, [](const Ref& path) {
        if (!host::exists(path)) headless::usage(py::format("no such file or folder: {}", {path}));
    });
    Ref scenes = py::list();
    py::for_each(paths, [&](const Ref& path) {
        if (!py::truthy(host::os_path("isdir", {path}))) {
            py::append(scenes, py::tuple({path, path}));
            return;
        }
        Ref folder = host::os_path("abspath", {path});
        py::for_each(headless::batch_sources(folder, choices), [&](const Ref& relative) {
            py::append(scenes, py::tuple({host::os_path("join", {path, relative}),
                                          headless::full_path(folder, relative)}));
        });
    });
    return scenes;
}

// "inspecting 1,234 of 10,000 scenes" on standard error, on a terminal.
class ProgressLine {
public:
    explicit ProgressLine(long long total) : total_(total) {
        py::swallow([this] {
            shown_ = py::truthy(py::call_method(py::getattr(host::module("sys"), "stderr"), "isatty"));
        });
    }
    void at(long long done) {
        if (!shown_ || done % kRedrawEvery != 0) return;
        headless::write_console(py::format("\r\x1b[Kinspecting {:,} of {:,} scenes", {done, total_}), "stderr");
        drawn_ = true;
    }
    void clear() {
        if (drawn_) headless::write_console(py::str("\r\x1b[K"), "stderr");
        drawn_ = false;
    }

private:
    long long total_;
    bool shown_ = false;
    bool drawn_ = false;
};

// One scene's reading, or why it has none ({"path", "error"}).
Ref reading_of(const Ref& shown, const Ref& full, scene::Tally& tally) {
    Ref facts;
    std::optional<Ref> failure = py::guard([&] { facts = scene::inspect_file(full); });
    if (failure) {
        Ref reason = py::format("{}", {*failure});
        tally.unread(reason);
        return py::dict({{"path", shown}, {"error", reason}});
    }
    py::set_item(facts, "path", shown);
    tally.scene(facts);
    return facts;
}

Ref line_of(const Ref& reading) {
    if (std::optional<Ref> error = py::find_item(reading, "error")) {
        return py::format("{}: not read: {}", {py::get_item(reading, "path"), *error});
    }
    return py::format("{}: {}", {py::get_item(reading, "path"), scene::scene_line(reading)});
}

}  // namespace

int inspect_main(const Ref& argv) {
    Ref args = parse_inspect(argv);
    Ref scenes = scenes_of(py::getattr(args, "paths"), headless::listing_choices(args));
    bool as_json = py::truthy(py::getattr(args, "json"));
    scene::Tally tally;
    Ref readings = py::list();
    ProgressLine progress(py::length(scenes));
    long long done = 0;
    py::for_each(scenes, [&](const Ref& scene) {
        Ref reading = reading_of(py::item(scene, 0), py::item(scene, 1), tally);
        py::append(readings, reading);
        if (!as_json) {
            progress.clear();
            headless::write_console(py::format("{}\n", {line_of(reading)}));
        }
        progress.at(++done);
    });
    progress.clear();
    if (as_json) {
        Ref text = py::call(host::attribute("json", "dumps"), {readings}, {{"indent", 1}});
        headless::write_console(py::format("{}\n", {text}));
    } else {
        Ref summary = py::call_method(py::str("\n"), "join", {tally.lines()});
        headless::write_console(py::format("\n{}\n", {summary}));
    }
    return tally.all_whole() ? 0 : 1;
}

}  // namespace velmora::cli
