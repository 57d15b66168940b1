#include "headless/leftovers.hpp"

#include "headless/options.hpp"
#include "headless/progress.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <mutex>
#include <set>
#include <string>

namespace velmora::headless {
namespace {

constexpr const char kPrefix[] = ".velmora-";
// A cleaner holds a batch's lock only while it removes that batch's files;
// a batch waits for it this long before it gives up.
constexpr double kWaitSeconds = 60.0;
constexpr double kRetrySeconds = 0.05;

// --------------------------------------------------- locks of this process

// The batches whose lock this process holds. A POSIX record lock belongs
// to the process, and closing any descriptor of the file drops it: a
// cleaner in this process must never open such a file, so it leaves these
// batches alone. Kept without Python objects, so that a destructor can
// update it.
std::mutex g_held_mutex;

std::multiset<std::string>& held_here() {
    static std::multiset<std::string> held;
    return held;
}

std::string key_of(const Ref& batch_id) {
    Ref encoded = py::call_method(batch_id, "encode", {"utf-8", "surrogateescape"});
    return {PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get()))};
}

void note_held(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    held_here().insert(key);
}

void note_released(const std::string& key) noexcept {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    auto found = held_here().find(key);
    if (found != held_here().end()) held_here().erase(found);
}

bool is_held_here(const Ref& batch_id) {
    std::string key = key_of(batch_id);
    std::lock_guard<std::mutex> guard(g_held_mutex);
    return held_here().count(key) > 0;
}

// ------------------------------------------------------------ file names

Ref lock_name(const Ref& batch_id) { return py::format("{}{}.lock", {kPrefix, batch_id}); }

// What a name of ours says: ".velmora-<batch>.lock" is a batch's lock
// file, ".velmora-<batch>.<index><ext>" one of its temporary files.
struct OurName {
    Ref batch;
    bool is_lock;
};

std::optional<OurName> parse(const Ref& name) {
    if (!py::truthy(py::call_method(name, "startswith", {kPrefix}))) return std::nullopt;
    Ref rest = py::check(PySequence_GetSlice(name.get(), sizeof(kPrefix) - 1, PY_SSIZE_T_MAX));
    Ref parts = py::call_method(rest, "split", {".", 1});
    if (py::length(parts) != 2 || !py::truthy(py::item(parts, 0))) return std::nullopt;
    Ref tail = py::item(parts, 1);
    if (py::equals(tail, "lock")) return OurName{py::item(parts, 0), true};
    Ref index = py::call_method(tail, "partition", {"."});
    if (!py::truthy(py::call_method(py::item(index, 0), "isdigit")) || !py::truthy(py::item(index, 1))) {
        return std::nullopt;
    }
    return OurName{py::item(parts, 0), false};
}

// The batch's lock file for a temporary file in `folder`: in that folder
// or the nearest one above it that has one.
Ref find_lock(const Ref& folder, const Ref& batch_id) {
    Ref name = lock_name(batch_id);
    Ref at = host::os_path("abspath", {folder});
    for (;;) {
        Ref candidate = host::os_path("join", {at, name});
        if (py::truthy(host::os_path("lexists", {candidate}))) return candidate;
        Ref parent = host::os_path("dirname", {at});
        if (py::check_status(PyObject_RichCompareBool(parent.get(), at.get(), Py_EQ)) != 0) return py::none();
        at = parent;
    }
}

bool remove_file(const Ref& path) {
    return !py::guard([&] { host::os("remove", {path}); });
}

// ------------------------------------------------------------- cleaning

// What the folders hold of ours, batches of this process left out.
struct Survey {
    Ref temps = py::dict();  // (batch, its lock file or None) -> [temporary file, ...]
    Ref locks = py::dict();  // lock file -> batch, for the lock files in the folders
};

void survey_folder(const Ref& folder, Survey& found) {
    Ref names;
    if (py::guard([&] { names = host::os("listdir", {folder}); })) return;  // gone, or not ours to read
    Ref lock_of = py::dict();  // batch -> its lock file, for this folder
    py::for_each(names, [&](const Ref& name) {
        std::optional<OurName> ours = parse(name);
        if (!ours || is_held_here(ours->batch)) return;
        Ref path = host::os_path("join", {folder, name});
        if (ours->is_lock) {
            py::check_status(PyObject_SetItem(found.locks.get(), path.get(), ours->batch.get()));
            return;
        }
        if (py::check_status(PyDict_Contains(lock_of.get(), ours->batch.get())) == 0) {
            Ref lock = find_lock(folder, ours->batch);
            py::check_status(PyObject_SetItem(lock_of.get(), ours->batch.get(), lock.get()));
        }
        Ref key = py::tuple({ours->batch, py::check(PyObject_GetItem(lock_of.get(), ours->batch.get()))});
        Ref temps = py::call_method(found.temps, "setdefault", {key, py::list()});
        py::append(temps, path);
    });
}

// Whether a batch is dead: its lock file is missing, or `lock` now holds
// it exclusively (and goes on holding it while its files are removed). A
// lock file that cannot be read leaves the batch alone.
bool is_dead(const Ref& lock_file, FileLock& lock) {
    if (lock_file.get() == Py_None) return true;
    FileLock::Outcome outcome = FileLock::Outcome::Busy;
    if (py::guard([&] { outcome = lock.take(lock_file, FileLock::Kind::Exclusive, false); })) return false;
    return outcome != FileLock::Outcome::Busy;
}

void remove_batch_files(const Ref& key, const Ref& temps, Survey& found, const Ref& removed) {
    Ref lock_file = py::item(key, 1);
    FileLock lock;
    if (!is_dead(lock_file, lock)) return;
    py::for_each(temps, [&](const Ref& temp) {
        if (remove_file(temp)) py::append(removed, temp);
    });
    if (!lock.held()) return;
    // Removed while locked: a batch that opened it meanwhile sees that
    // the name no longer leads to the file it locked, and makes a new one.
    if (remove_file(lock_file)) py::append(removed, lock_file);
    py::swallow([&] { py::call_method(found.locks, "pop", {lock_file, py::none()}); });
}

// A lock file with no temporary file left: removed when no batch holds it.
void remove_stale_lock(const Ref& lock_file, const Ref& removed) {
    FileLock lock;
    if (is_dead(lock_file, lock) && lock.held() && remove_file(lock_file)) py::append(removed, lock_file);
}

}  // namespace

// ------------------------------------------------------------ the lock

BatchLock::BatchLock(Ref path, std::string key) : path_(std::move(path)), key_(std::move(key)) {}

BatchLock BatchLock::hold(const Ref& folder, const Ref& batch_id) {
    BatchLock held(host::os_path("join", {folder, lock_name(batch_id)}), key_of(batch_id));
    double waited = 0;
    while (held.lock_.take(held.path_, FileLock::Kind::Shared, true) != FileLock::Outcome::Held) {
        if (waited >= kWaitSeconds) {
            Ref message = py::format("the batch's lock file {} stays locked by another process", {held.path_});
            PyErr_SetObject(PyExc_RuntimeError, message.get());
            throw py::PyError{};
        }
        py::call(host::attribute("time", "sleep"), {kRetrySeconds});
        waited += kRetrySeconds;
    }
    note_held(held.key_);
    return held;
}

std::optional<BatchLock> BatchLock::hold_alone(const Ref& folder, const Ref& name) {
    if (is_held_here(name)) return std::nullopt;
    BatchLock held(host::os_path("join", {folder, lock_name(name)}), key_of(name));
    if (held.lock_.take(held.path_, FileLock::Kind::Exclusive, true) != FileLock::Outcome::Held) return std::nullopt;
    note_held(held.key_);
    return held;
}

BatchLock::~BatchLock() {
    if (lock_.held()) note_released(key_);
}

void BatchLock::release() {
    if (!lock_.held()) return;
    lock_.close();
    note_released(key_);
    py::guard([this] {
        FileLock last;
        if (last.take(path_, FileLock::Kind::Exclusive, false) == FileLock::Outcome::Held) remove_file(path_);
    });
}

// ------------------------------------------------------------- cleaning

Ref batch_folders(const Ref& folder, const Ref& sources) {
    Ref folders = py::list();
    Ref seen = py::check(PySet_New(nullptr));
    auto add = [&](const Ref& path) {
        Ref normal = host::os_path("normpath", {path});
        if (py::check_status(PySet_Contains(seen.get(), normal.get())) == 1) return;
        py::check_status(PySet_Add(seen.get(), normal.get()));
        py::append(folders, normal);
    };
    add(folder);
    py::for_each(sources, [&](const Ref& source) {
        Ref parent = host::os_path("dirname", {source});
        add(py::truthy(parent) ? parent : py::str("."));
    });
    return folders;
}

Ref remove_dead_batches(const Ref& folders) {
    Survey found;
    py::for_each(folders, [&](const Ref& folder) { survey_folder(folder, found); });
    Ref removed = py::list();
    py::for_each(py::call_method(found.temps, "items"), [&](const Ref& entry) {
        remove_batch_files(py::item(entry, 0), py::item(entry, 1), found, removed);
    });
    py::for_each(py::call(py::builtin("list"), {found.locks}),
                 [&](const Ref& lock_file) { remove_stale_lock(lock_file, removed); });
    return removed;
}

// ------------------------------------------------------------- command

namespace {

void say(const Ref& text, const char* stream = "stdout") {
    write_console(py::format("{}\n", {text}), stream);
}

// argparse ends with SystemExit (2 for bad arguments, 0 for --help).
Ref parse_clean(const Ref& argv) {
    Ref parser = py::call(host::attribute("argparse", "ArgumentParser"), {},
                          {{"prog", "velmora-batch clean"},
                           {"description", "Removes the temporary files that batches no longer running "
                                           "anywhere left under a folder, and their lock files."}});
    py::call(py::getattr(parser, "add_argument"), {"folder"}, {{"metavar", "FOLDER"}});
    return py::call_method(parser, "parse_args", {argv});
}

Ref folders_under(const Ref& folder) {
    Ref folders = py::list();
    py::for_each(py::call(host::attribute("os", "walk"), {folder}),
                 [&](const Ref& entry) { py::append(folders, py::item(entry, 0)); });
    return folders;
}

}  // namespace

int clean_main(const Ref& argv) {
    Ref given = py::getattr(parse_clean(argv), "folder");
    if (!py::truthy(host::os_path("isdir", {given}))) {
        usage(py::format("folder not found: {}", {given}));
    }
    Ref removed = remove_dead_batches(folders_under(host::os_path("abspath", {given})));
    py::for_each(removed, [](const Ref& path) { say(path); });
    Py_ssize_t count = py::length(removed);
    say(py::format("Removed {} file{}.", {py::integer(count), count == 1 ? "" : "s"}));
    return 0;
}

}  // namespace velmora::headless
