// The share a batch will write to, through velmora's own file handling:
// its temporary names, its publishing and its lock; and the user's cache,
// where journals live. Every file made here is removed again, and each
// carries the examination's mark, so that the doctor outside can remove
// what a dead mayapy left.
#include "doctor/checks.hpp"

#include "headless/options.hpp"
#include "headless/publishing.hpp"
#include "headless/temporary_files.hpp"
#include "host/host.hpp"

namespace velmora::doctor {
namespace {

// Cleaning up never hides the error of the step before it.
void discard(const Ref& path) {
    py::guard([&path] { headless::discard(path); });
}

// A temporary name of the examination in the share, as a batch's worker
// names what it writes: .velmora-<id>.<index><ext>.
Ref share_temp(const Setting& setting, long long index, const char* ext) {
    Ref output = host::os_path("join", {setting.folder, py::format("velmora-doctor{}", {ext})});
    return headless::temp_path(output, headless::temp_tag(setting.id, index));
}

// A new file (never one that exists) with `text`, on the disk when this
// returns.
void write_new(const Ref& path, const char* text) {
    Ref file = py::call(py::builtin("open"), {path, "x"}, {{"encoding", "utf-8"}});
    py::with(file, [text](const Ref& f) {
        py::call_method(f, "write", {text});
        py::call_method(f, "flush");
        host::os("fsync", {py::call_method(f, "fileno")});
    });
}

Ref read_text(const Ref& path) {
    Ref text;
    Ref file = py::call(py::builtin("open"), {path}, {{"encoding", "utf-8"}});
    py::with(file, [&text](const Ref& f) { text = py::call_method(f, "read"); });
    return text;
}

bool same_text(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

Ref published_as(const Ref& temp, const Ref& output, headless::PublishWay* way = nullptr) {
    std::optional<Ref> name = headless::publish(temp, output, false, way);
    if (!name) fail(py::format("{} was published under no name", {temp}));
    return *name;
}

const char* way_said(headless::PublishWay way) {
    switch (way) {
    case headless::PublishWay::Link:
        return "a hard link";
    case headless::PublishWay::Rename:
        return "a rename that does not replace (no links here)";
    case headless::PublishWay::ClaimAndRename:
        return "claiming the name with an exclusive create and renaming over it (no links, no "
               "rename that refuses to replace here)";
    }
    return "";
}

// Two files for one free name: the first must get it, the second the next
// free name, and the first must be left as it was.
Ref publish_twice(const Ref& first, const Ref& second, const Ref& output, const Ref& published) {
    write_new(first, "first\n");
    write_new(second, "second\n");
    headless::PublishWay way = headless::PublishWay::Link;
    Ref taken = published_as(first, output, &way);
    py::append(published, taken);
    if (!same_text(taken, output)) fail(py::format("the free name {} went to {}", {output, taken}));
    const char* how = way_said(way);
    Ref next = published_as(second, output);
    py::append(published, next);
    if (same_text(next, output) || !same_text(read_text(output), py::str("first\n"))) {
        fail(py::format("a second file for {} replaced the first", {host::os_path("basename", {output})}));
    }
    return py::format("published by {}; a second file for the same name went to {}, the first left as it was",
                      {how, host::os_path("basename", {next})});
}

// The folders above `folder` (and it) that do not exist, outermost first.
Ref missing_folders(const Ref& folder) {
    Ref missing = py::list();
    Ref path = folder;
    while (!host::exists(path)) {
        py::check_status(PyList_Insert(missing.get(), 0, path.get()));
        Ref parent = host::os_path("dirname", {path});
        if (same_text(parent, path)) break;
        path = parent;
    }
    return missing;
}

void remove_folders(const Ref& made) {
    Ref innermost_first = py::call(py::builtin("reversed"), {made});
    py::for_each(innermost_first, [](const Ref& folder) { py::guard([&] { host::os("rmdir", {folder}); }); });
}

Ref cache_folder(const Setting& /*setting*/) {
    return host::os_path("join", {headless::cache_folder(), "batches"});
}

Ref cache_probe(const Setting& setting) {
    return host::os_path("join", {cache_folder(setting), py::format("velmora-doctor-{}.tmp", {setting.id})});
}

}  // namespace

Ref folder_writable(const Setting& setting) {
    Ref probe = share_temp(setting, 0, ".txt");
    py::finally([&] { write_new(probe, "velmora doctor\n"); }, [&] { discard(probe); });
    return py::format("wrote a file to {}, synced and removed it", {setting.folder});
}

Ref take_batch_lock(const Setting& setting, std::optional<headless::BatchLock>& lock) {
    lock.emplace(headless::BatchLock::hold(setting.folder, setting.id));
    return py::format("took a batch's lock ({}) in {}",
                      {host::on_windows() ? "a Windows file lock" : "a POSIX record lock", setting.folder});
}

Ref publishing(const Setting& setting) {
    Ref output = host::os_path("join", {setting.folder, py::format("velmora-doctor-{}.txt", {setting.id})});
    Ref first = share_temp(setting, 1, ".txt");
    Ref second = share_temp(setting, 2, ".txt");
    Ref published = py::list();
    Ref detail;
    py::finally([&] { detail = publish_twice(first, second, output, published); },
                [&] {
                    discard(first);
                    discard(second);
                    py::for_each(published, [](const Ref& name) { discard(name); });
                });
    return detail;
}

Ref letter_case(const Setting& setting) {
    Ref lower = share_temp(setting, 3, ".case");
    Ref upper = host::os_path("join", {setting.folder,
                                       py::call_method(host::os_path("basename", {lower}), "upper")});
    bool one_file = false;
    py::finally(
        [&] {
            write_new(lower, "");
            one_file = host::exists(upper);
        },
        [&] { discard(lower); });
    if (one_file) {
        return py::str("names that differ only in letter case are one file here; velmora converts such "
                       "sources (a.ma, A.MA) one after the other, as competing for one output name");
    }
    return py::str("names that differ only in letter case are different files here");
}

Ref user_cache(const Setting& setting) {
    Ref folder = cache_folder(setting);
    Ref made = missing_folders(folder);
    Ref probe = cache_probe(setting);
    py::finally(
        [&] {
            host::os("makedirs", {folder, py::integer(0777), true});
            write_new(probe, "");
        },
        [&] {
            discard(probe);
            remove_folders(made);
        });
    return py::format("{} is writable", {folder});
}

void remove_marked(const Setting& setting) {
    discard(cache_probe(setting));
    if (setting.folder.get() == Py_None) return;
    Ref marks = py::tuple({py::format(".velmora-{}.", {setting.id}), py::format("velmora-doctor-{}", {setting.id})});
    Ref names = py::list();
    py::guard([&] { names = host::os("listdir", {setting.folder}); });
    py::for_each(names, [&](const Ref& name) {
        if (py::truthy(py::call_method(name, "startswith", {marks}))) {
            discard(host::os_path("join", {setting.folder, name}));
        }
    });
}

}  // namespace velmora::doctor
