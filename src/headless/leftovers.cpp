#include "headless/leftovers.hpp"

#include "headless/options.hpp"
#include "headless/progress.hpp"
#include "headless/temporary_files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <mutex>
#include <optional>
#include <utility>
#include <vector>
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
Ref mark_name(const Ref& batch_id) { return py::format("{}{}.cleaning", {kPrefix, batch_id}); }

// The batch's cleaning mark beside one of its lock files.
Ref mark_beside(const Ref& lock_file, const Ref& batch_id) {
    return host::os_path("join", {host::os_path("dirname", {lock_file}), mark_name(batch_id)});
}

// What a name of ours says: ".velmora-<batch>.lock" is a batch's lock
// file, ".velmora-<batch>.cleaning" a cleaner's mark, and
// ".velmora-<batch>.<index><ext>" one of its temporary files.
enum class Role { Lock, Mark, Temp };

struct OurName {
    Ref batch;
    Role role;
};

std::optional<OurName> parse(const Ref& name) {
    if (!py::truthy(py::call_method(name, "startswith", {kPrefix}))) return std::nullopt;
    Ref rest = py::check(PySequence_GetSlice(name.get(), sizeof(kPrefix) - 1, PY_SSIZE_T_MAX));
    Ref parts = py::call_method(rest, "split", {".", 1});
    if (py::length(parts) != 2 || !py::truthy(py::item(parts, 0))) return std::nullopt;
    Ref tail = py::item(parts, 1);
    if (py::equals(tail, "lock")) return OurName{py::item(parts, 0), Role::Lock};
    if (py::equals(tail, "cleaning")) return OurName{py::item(parts, 0), Role::Mark};
    Ref index = py::call_method(tail, "partition", {"."});
    if (!py::truthy(py::call_method(py::item(index, 0), "isdigit")) || !py::truthy(py::item(index, 1))) {
        return std::nullopt;
    }
    return OurName{py::item(parts, 0), Role::Temp};
}

// ---------------------------------------------------------------- paths

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

// A folder's real path, in the form paths are compared in.
Ref real(const Ref& path) { return host::os_path("normcase", {host::os_path("realpath", {path})}); }

// Whether real path `path` is `folder` or lies inside it (paths on two
// Windows drives are not).
bool is_within(const Ref& path, const Ref& folder) {
    Ref common;
    if (py::guard([&] { common = host::os_path("commonpath", {py::list({path, folder})}); })) return false;
    return same(common, folder);
}

// The nearest folder at or above `folder` that exists.
Ref existing_folder(const Ref& folder) {
    Ref at = host::os_path("abspath", {folder});
    while (!py::truthy(host::os_path("isdir", {at}))) {
        Ref parent = host::os_path("dirname", {at});
        if (same(parent, at)) break;
        at = parent;
    }
    return at;
}

// The folders a batch holds a lock in besides `root`: see BatchLock::hold.
Ref lock_folders(const Ref& root, const Ref& writes_into) {
    Ref folders = py::list();
    Ref root_real = real(root);
    Ref seen = py::check(PySet_New(nullptr));
    py::for_each(writes_into, [&](const Ref& folder) {
        if (is_within(real(folder), root_real)) return;
        Ref at = existing_folder(folder);
        Ref at_real = real(at);
        if (is_within(at_real, root_real) || py::check_status(PySet_Contains(seen.get(), at_real.get())) == 1) {
            return;
        }
        py::check_status(PySet_Add(seen.get(), at_real.get()));
        py::append(folders, at);
    });
    return folders;
}

// Whether a name is there: a file, a link, anything; or, when the folder
// cannot be looked in, the reason.
enum class There { Yes, No, Unknown };

There look_for(const Ref& path, Ref& why) {
    try {
        host::os("lstat", {path});
        return There::Yes;
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) != 0 ||
            PyErr_ExceptionMatches(PyExc_NotADirectoryError) != 0) {
            PyErr_Clear();
            return There::No;
        }
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        why = py::take_error_text();
        return There::Unknown;
    }
}

// The batch's lock files for a temporary file in `folder`: the nearest up
// the folder's path as given, and the nearest up its real path, each file
// once. A tuple (lock files, why they cannot all be known or None).
Ref find_locks(const Ref& folder, const Ref& batch_id) {
    Ref name = lock_name(batch_id);
    Ref found = py::list();
    Ref seen = py::check(PySet_New(nullptr));
    Ref doubt = py::none();
    for (const Ref& start : {host::os_path("abspath", {folder}), host::os_path("realpath", {folder})}) {
        for (Ref at = start;;) {
            Ref candidate = host::os_path("join", {at, name});
            Ref why;
            There there = look_for(candidate, why);
            if (there == There::Unknown) {
                doubt = why;
                break;
            }
            if (there == There::Yes) {
                Ref key = host::os_path("join", {real(at), name});
                if (py::check_status(PySet_Contains(seen.get(), key.get())) == 0) {
                    py::check_status(PySet_Add(seen.get(), key.get()));
                    py::append(found, candidate);
                }
                break;
            }
            Ref parent = host::os_path("dirname", {at});
            if (same(parent, at)) break;
            at = parent;
        }
    }
    return py::tuple({py::call(py::builtin("tuple"), {found}), doubt});
}

// ------------------------------------------------------------- removing

// Removes a file; one that is gone already (another cleaner) is no news.
void remove_into(const Ref& path, Cleaning& done) {
    try {
        host::os("remove", {path});
        py::append(done.removed, path);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) != 0) {
            PyErr_Clear();
            return;
        }
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) throw;
        py::append(done.refused, py::tuple({path, py::take_error_text()}));
    }
}

// The empty claim of a name a dead batch left (temporary_files.hpp);
// false when it could not be looked at or removed.
bool drop_claim_into(const Ref& marker, Cleaning& done) {
    std::optional<Ref> dropped;
    std::optional<Ref> error = py::guard([&] { dropped = drop_claim(marker); });
    if (error) py::append(done.refused, py::tuple({marker, *error}));
    if (dropped) py::append(done.removed, *dropped);
    return !error;
}

bool remove_file(const Ref& path) {
    return !py::guard([&] { host::os("remove", {path}); });
}

// A cleaning mark any user's cleaner can take later (a lock to write
// needs write access), made unless it is there.
void make_mark(const Ref& mark) {
    Ref os = host::global("os");
    long long flags = py::as_long(py::getattr(os, "O_WRONLY")) | py::as_long(py::getattr(os, "O_CREAT")) |
                      py::as_long(py::getattr(os, "O_EXCL"));
    Ref fd;
    try {
        fd = host::os("open", {mark, py::integer(flags), py::integer(0666)});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileExistsError) == 0) throw;
        PyErr_Clear();
        return;
    }
    py::finally([&] {
        if (!host::on_windows()) host::os("fchmod", {fd, py::integer(0666)});
    }, [&] { host::os("close", {fd}); });
}

// One lock file of a batch held against its holders while the batch's
// files go: see the top of leftovers.hpp.
class Claim {
public:
    enum class Verdict { Dead, Alive, Refused };

    Verdict take(const Ref& lock_file, const Ref& batch_id) {
        lock_file_ = lock_file;
        try {
            return lock_.take(lock_file, FileLock::Kind::Exclusive, false) == FileLock::Outcome::Busy
                       ? Verdict::Alive
                       : Verdict::Dead;
        } catch (const py::PyError&) {
            if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
            if (PyErr_ExceptionMatches(PyExc_PermissionError) == 0) {
                why_ = py::take_error_text();
                return Verdict::Refused;
            }
            PyErr_Clear();
        }
        return take_by_mark(mark_beside(lock_file, batch_id));
    }

    const Ref& why() const { return why_; }

    // The lock file goes while holders are kept out, then the mark.
    void finish(Cleaning& done) {
        if (lock_.held() || mark_.held()) remove_into(lock_file_, done);
        let_go();
    }

    // Holders may come in again; no mark of this cleaner stays.
    void let_go() {
        drop_mark();
        lock_.close();
    }

private:
    // Marked first, looked at after: a holder locks first and looks at the
    // mark after, so one of the two sees the other.
    Verdict take_by_mark(const Ref& mark) {
        FileLock::Outcome marked = FileLock::Outcome::Busy;
        if (std::optional<Ref> error = py::guard([&] {
                make_mark(mark);
                marked = mark_.take(mark, FileLock::Kind::Exclusive, false);
            })) {
            why_ = *error;
            return Verdict::Refused;
        }
        if (marked != FileLock::Outcome::Held) return Verdict::Alive;  // another cleaner is at it
        mark_file_ = mark;
        FileLock::Probe probe = FileLock::Probe::Busy;
        std::optional<Ref> error = py::guard([&] { probe = FileLock::probe(lock_file_, FileLock::Kind::Exclusive); });
        if (!error && probe != FileLock::Probe::Busy) return Verdict::Dead;
        drop_mark();
        if (!error) return Verdict::Alive;
        why_ = *error;
        return Verdict::Refused;
    }

    void drop_mark() {
        if (!mark_.held()) return;
        remove_file(mark_file_);
        mark_.close();
    }

    Ref lock_file_;
    Ref mark_file_;
    Ref why_;
    FileLock lock_;
    FileLock mark_;
};

// ------------------------------------------------------------- cleaning

// What the folders hold of ours, batches of this process left out.
struct Survey {
    Ref temps = py::dict();  // (batch, lock files, doubt) -> [temporary file, ...]
    Ref locks = py::dict();  // lock file -> batch, for the lock files in the folders
    Ref marks = py::dict();  // cleaning mark -> batch
};

void survey_folder(const Ref& folder, Survey& found) {
    Ref names;
    if (py::guard([&] { names = host::os("listdir", {folder}); })) return;  // gone, or not ours to read
    Ref lock_of = py::dict();  // batch -> what find_locks says, for this folder
    py::for_each(names, [&](const Ref& name) {
        std::optional<OurName> ours = parse(name);
        if (!ours || is_held_here(ours->batch)) return;
        Ref path = host::os_path("join", {folder, name});
        if (ours->role != Role::Temp) {
            Ref& into = ours->role == Role::Lock ? found.locks : found.marks;
            py::check_status(PyObject_SetItem(into.get(), path.get(), ours->batch.get()));
            return;
        }
        if (py::check_status(PyDict_Contains(lock_of.get(), ours->batch.get())) == 0) {
            Ref locks = find_locks(folder, ours->batch);
            py::check_status(PyObject_SetItem(lock_of.get(), ours->batch.get(), locks.get()));
        }
        Ref locks = py::check(PyObject_GetItem(lock_of.get(), ours->batch.get()));
        Ref key = py::tuple({ours->batch, py::item(locks, 0), py::item(locks, 1)});
        Ref temps = py::call_method(found.temps, "setdefault", {key, py::list()});
        py::append(temps, path);
    });
}

void refuse_all(const Ref& paths, const Ref& why, Cleaning& done) {
    py::for_each(paths, [&](const Ref& path) { py::append(done.refused, py::tuple({path, why})); });
}

void remove_batch_files(const Ref& key, const Ref& temps, Survey& found, Cleaning& done) {
    Ref batch = py::item(key, 0);
    Ref lock_files = py::item(key, 1);
    Ref doubt = py::item(key, 2);
    if (doubt.get() != Py_None) {
        Ref why = py::format("left, its batch may still run: {}", {doubt});
        py::for_each(temps, [&](const Ref& temp) { py::append(done.left, py::tuple({temp, why})); });
        return;
    }
    std::vector<Claim> claims(static_cast<std::size_t>(py::length(lock_files)));
    for (std::size_t i = 0; i < claims.size(); ++i) {
        Claim::Verdict verdict = claims[i].take(py::item(lock_files, static_cast<Py_ssize_t>(i)), batch);
        if (verdict == Claim::Verdict::Dead) continue;
        for (std::size_t j = 0; j < i; ++j) claims[j].let_go();
        if (verdict == Claim::Verdict::Alive) return;
        // Dead, as far as can be told, but not ours to clean.
        refuse_all(temps, claims[i].why(), done);
        refuse_all(lock_files, claims[i].why(), done);
        py::for_each(lock_files, [&](const Ref& lock_file) {
            py::swallow([&] { py::call_method(found.locks, "pop", {lock_file, py::none()}); });
        });
        return;
    }
    py::for_each(temps, [&](const Ref& temp) {
        // A marker whose claim could not be looked at stays, to be tried again.
        if (!is_claim_marker(temp) || drop_claim_into(temp, done)) remove_into(temp, done);
    });
    for (std::size_t i = 0; i < claims.size(); ++i) {
        // Removed while claimed: a batch that opened it meanwhile sees that
        // the name no longer leads to the file it locked, and makes a new one.
        claims[i].finish(done);
        Ref lock_file = py::item(lock_files, static_cast<Py_ssize_t>(i));
        py::swallow([&] { py::call_method(found.locks, "pop", {lock_file, py::none()}); });
    }
}

// A lock file with no temporary file left: removed when no batch holds it.
void remove_stale_lock(const Ref& lock_file, const Ref& batch, Cleaning& done) {
    Claim claim;
    Claim::Verdict verdict = claim.take(lock_file, batch);
    if (verdict == Claim::Verdict::Dead) claim.finish(done);
    if (verdict == Claim::Verdict::Refused) py::append(done.refused, py::tuple({lock_file, claim.why()}));
}

// A cleaner's mark left by one that ended midway: removed unless a
// cleaner holds it now.
void remove_stale_mark(const Ref& mark, Cleaning& done) {
    FileLock lock;
    FileLock::Outcome outcome = FileLock::Outcome::Busy;
    if (std::optional<Ref> error = py::guard([&] { outcome = lock.take(mark, FileLock::Kind::Exclusive, false); })) {
        py::append(done.refused, py::tuple({mark, *error}));
        return;
    }
    if (outcome == FileLock::Outcome::Held) remove_into(mark, done);
}

// Whether a cleaner holds batch's mark beside `lock_file` now. A holder
// looks after it has locked (leftovers.hpp).
bool cleaning_now(const Ref& lock_file, const Ref& batch_id) {
    return FileLock::probe(mark_beside(lock_file, batch_id), FileLock::Kind::Shared) == FileLock::Probe::Busy;
}

}  // namespace

// ------------------------------------------------------------ the lock

BatchLock::BatchLock(std::string key) : key_(std::move(key)) {}

BatchLock::BatchLock(BatchLock&& other) noexcept
    : held_(std::move(other.held_)), key_(std::move(other.key_)), noted_(std::exchange(other.noted_, false)) {}

BatchLock& BatchLock::operator=(BatchLock&& other) noexcept {
    if (this != &other) {
        if (noted_) note_released(key_);
        held_ = std::move(other.held_);
        key_ = std::move(other.key_);
        noted_ = std::exchange(other.noted_, false);
    }
    return *this;
}

BatchLock BatchLock::hold(const Ref& folder, const Ref& batch_id) { return hold(folder, batch_id, py::list()); }

BatchLock BatchLock::hold(const Ref& folder, const Ref& batch_id, const Ref& writes_into) {
    BatchLock held(key_of(batch_id));
    Ref batch = batch_id;
    held.take(host::os_path("join", {folder, lock_name(batch)}));
    py::for_each(lock_folders(folder, writes_into),
                 [&](const Ref& other) { held.take(host::os_path("join", {other, lock_name(batch)})); });
    note_held(held.key_);
    held.noted_ = true;
    return held;
}

// Locked, then no cleaner's mark, then still the file named: a cleaner
// marks first and looks at the lock after.
void BatchLock::take(const Ref& path) {
    Ref batch = py::check(PyUnicode_DecodeUTF8(key_.data(), static_cast<Py_ssize_t>(key_.size()), "surrogateescape"));
    FileLock lock;
    double waited = 0;
    for (;;) {
        if (lock.take(path, FileLock::Kind::Shared, true) == FileLock::Outcome::Held) {
            if (!cleaning_now(path, batch) && lock.names(path)) break;
            lock.close();
        }
        if (waited >= kWaitSeconds) {
            Ref message = py::format("the batch's lock file {} stays locked by another process", {path});
            PyErr_SetObject(PyExc_RuntimeError, message.get());
            throw py::PyError{};
        }
        py::call(host::attribute("time", "sleep"), {kRetrySeconds});
        waited += kRetrySeconds;
    }
    held_.push_back(Held{path, std::move(lock)});
}

std::optional<BatchLock> BatchLock::hold_alone(const Ref& folder, const Ref& name) {
    if (is_held_here(name)) return std::nullopt;
    BatchLock held(key_of(name));
    Ref path = host::os_path("join", {folder, lock_name(name)});
    FileLock lock;
    if (lock.take(path, FileLock::Kind::Exclusive, true) != FileLock::Outcome::Held) return std::nullopt;
    if (cleaning_now(path, name) || !lock.names(path)) return std::nullopt;
    held.held_.push_back(Held{path, std::move(lock)});
    note_held(held.key_);
    held.noted_ = true;
    return held;
}

void BatchLock::also_in(const Ref& folder, const Ref& writes_into) {
    Ref batch = py::check(PyUnicode_DecodeUTF8(key_.data(), static_cast<Py_ssize_t>(key_.size()), "surrogateescape"));
    py::for_each(lock_folders(folder, writes_into),
                 [&](const Ref& other) { take(host::os_path("join", {other, lock_name(batch)})); });
}

BatchLock::~BatchLock() {
    if (noted_) note_released(key_);
}

void BatchLock::release() {
    if (!noted_) return;
    for (Held& h : held_) h.lock.close();
    note_released(key_);
    noted_ = false;
    for (Held& h : held_) {
        py::guard([&h] {
            FileLock last;
            if (last.take(h.path, FileLock::Kind::Exclusive, false) == FileLock::Outcome::Held) remove_file(h.path);
        });
    }
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

Cleaning remove_dead_batches(const Ref& folders) {
    Survey found;
    py::for_each(folders, [&](const Ref& folder) { survey_folder(folder, found); });
    Cleaning done;
    py::for_each(py::call_method(found.temps, "items"), [&](const Ref& entry) {
        remove_batch_files(py::item(entry, 0), py::item(entry, 1), found, done);
    });
    py::for_each(py::call_method(found.locks, "items"), [&](const Ref& entry) {
        remove_stale_lock(py::item(entry, 0), py::item(entry, 1), done);
    });
    py::for_each(found.marks, [&](const Ref& mark) { remove_stale_mark(mark, done); });
    return done;
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

Ref files(Py_ssize_t count) { return py::format("{} file{}", {py::integer(count), count == 1 ? "" : "s"}); }

}  // namespace

int clean_main(const Ref& argv) {
    Ref given = py::getattr(parse_clean(argv), "folder");
    if (!py::truthy(host::os_path("isdir", {given}))) {
        usage(py::format("folder not found: {}", {given}));
    }
    Cleaning done = remove_dead_batches(folders_under(host::os_path("abspath", {given})));
    py::for_each(done.removed, [](const Ref& path) { say(path); });
    py::for_each(done.refused, [](const Ref& entry) {
        say(py::format("could not remove {}: {}", {py::item(entry, 0), py::item(entry, 1)}));
    });
    py::for_each(done.left, [](const Ref& entry) { say(py::format("{}: {}", {py::item(entry, 0), py::item(entry, 1)})); });
    say(py::format("Removed {}.", {files(py::length(done.removed))}));
    if (py::length(done.refused) > 0) say(py::format("Could not remove {}.", {files(py::length(done.refused))}));
    if (py::length(done.left) > 0) {
        say(py::format("Left {} whose batch may still run.", {files(py::length(done.left))}));
    }
    return py::length(done.refused) > 0 ? 1 : 0;
}

}  // namespace velmora::headless
