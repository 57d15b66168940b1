// The controller: lists the sources once (or resumes a journal's list),
// keeps `jobs` workers busy, publishes what they write, journals every
// finished source before it is reported, and replaces workers that crash,
// hang, or have opened enough scenes.
#include "engine/front_end.hpp"
#include "headless/batch.hpp"
#include "headless/claims.hpp"
#include "headless/interrupts.hpp"
#include "headless/journal_file.hpp"
#include "headless/leftovers.hpp"
#include "headless/options.hpp"
#include "headless/progress.hpp"
#include "headless/worker_process.hpp"
#include "host/callback.hpp"
#include "host/host.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace velmora::headless {
namespace {

// Ctrl-C: files in hand may finish within this many seconds.
constexpr double kGraceSeconds = 10.0;
// A Maya that takes longer than this to start is stuck.
constexpr double kStartupSeconds = 600.0;
// Workers that die before they are ready, one after another, before the
// batch gives up (a broken mayapy or licence would otherwise loop).
constexpr int kStartupFailuresAllowed = 3;
// Maya's memory grows with every scene opened: a worker is replaced by a
// fresh one after this many files.
constexpr int kFilesPerWorker = 100;
// A file whose worker was stopped from outside (not a crash) is handed out
// again this many times before it counts as failed.
constexpr int kRetriesAfterStop = 2;
// How often the loop looks at clocks, signals and the console.
constexpr double kTickSeconds = 0.25;
// How long a worker told to quit (or whose channel closed) may take to end.
constexpr double kQuitSeconds = 30.0;

double monotonic() { return py::as_double(py::call(host::attribute("time", "monotonic"))); }

constexpr const char kWorkerCode[] =
    "import sys; sys.path.insert(0, sys.argv[1]); import velmora; "
    "sys.exit(velmora._worker(sys.argv[2:]))";

Ref choices_dict(const Choices& c) {
    return py::dict({{"extensions", c.extensions},
                     {"outputs", c.outputs},
                     {"preset", c.preset},
                     {"recursive", py::boolean(c.recursive)},
                     {"skip_existing", py::boolean(c.skip_existing)}});
}

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

Ref new_batch_id() {
    return py::call_method(host::os("urandom", {py::integer(6)}), "hex");
}

class Controller {
public:
    explicit Controller(const Request& request)
        : request_(request), progress_(request.progress, request.console) {}
    Ref run();

private:
    Ref run_locked();
    void open_journal();
    void recover_leftovers();
    void plan_queue();
    void listen();
    void loop();
    void ensure_workers();
    void spawn();
    void poll_sockets(double now);
    void greet(std::size_t stranger, double now);
    void on_message(WorkerProcess& worker, const Ref& message, double now);
    void hand_out(WorkerProcess& worker, double now);
    void start_successor(WorkerProcess& worker);
    void finish_file(WorkerProcess& worker, const Ref& reply, double now);
    void on_end(WorkerProcess& worker, const std::optional<Ref>& timed_out, double now);
    void check_clocks(double now);
    bool overdue(const WorkerProcess& w, double age, double now) const;
    void record(long long index, bool converted, const Ref& outputs, const Ref& skipped,
                const Ref& failure, int worker, double now);
    void discard_temps(long long index);
    void stop_all();
    bool has_work() const;
    Ref formats_for(long long index) const;
    Ref source(long long index) const { return py::item(full_sources_, index); }

    const Request& request_;
    Progress progress_;
    Ref batch_id_;
    Ref sources_;       // relative paths, as the journal holds them
    Ref full_sources_;  // joined to the folder
    Ref records_;       // index -> record, as read when resuming
    std::optional<Journal> journal_;
    std::deque<long long> queue_;
    std::map<long long, Ref> carried_;             // outputs published before a crash
    std::map<long long, std::set<std::string>> carried_formats_;
    std::map<long long, int> retries_;
    std::vector<std::unique_ptr<WorkerProcess>> workers_;
    std::vector<Channel> strangers_;  // connected, not yet introduced
    Ref listener_;
    Ref token_;
    Ref logs_;
    double startup_seconds_ = 0;  // the longest start-up seen
    double file_seconds_ = 0;     // a running mean of one file's time
    int next_id_ = 1;
    int startup_failures_ = 0;
    bool draining_ = false;
    double grace_until_ = 0;
    std::optional<Ref> fatal_;
    std::unique_ptr<Interrupts> interrupts_;
};

// ----------------------------------------------------------------- setup

void Controller::open_journal() {
    const Ref& path = request_.journal;
    Ref choices = choices_dict(request_.choices);
    if (request_.resume && py::truthy(host::os_path("exists", {path}))) {
        JournalState state = read_journal(path);
        if (!same(py::get_item(state.batch, "choices"), choices)) {
            throw UsageError("the journal was made with other choices (sources, outputs, preset or "
                             "options); give the same ones, or start a new batch without --resume");
        }
        batch_id_ = py::get_item(state.batch, "batch");
        sources_ = py::get_item(state.batch, "sources");
        records_ = state.records;
        journal_.emplace(Journal::reopen(path));
    } else {
        Ref listed = request_.listed ? *request_.listed : batch_sources(request_.folder, request_.choices);
        batch_id_ = new_batch_id();
        sources_ = listed;
        records_ = py::dict();
        journal_.emplace(Journal::start(
            path, py::dict({{"journal", "velmora-batch"}, {"version", 1}, {"batch", batch_id_},
                            {"folder", request_.folder}, {"choices", choices}, {"sources", listed},
                            {"started", host::time("time")}})));
    }
    full_sources_ = py::list();
    py::for_each(sources_, [this](const Ref& r) { py::append(full_sources_, full_path(request_.folder, r)); });
}

// What a crash left of this batch in the sources' folders: a temporary
// file that was already published counts as that output; anything else
// is removed, and its source converted again.
void Controller::recover_leftovers() {
    Ref folders = py::list();
    Ref seen = py::check(PySet_New(nullptr));
    py::for_each(full_sources_, [&](const Ref& s) {
        Ref folder = host::os_path("dirname", {s});
        if (!py::truthy(folder)) folder = py::str(".");
        if (PySet_Contains(seen.get(), folder.get()) == 1) return;
        py::check_status(PySet_Add(seen.get(), folder.get()));
        py::append(folders, folder);
    });
    Py_ssize_t total = py::length(sources_);
    py::for_each(leftovers(folders, batch_id_), [&](const Ref& leftover) {
        Ref temp = py::item(leftover, 0);
        long long index = py::as_long(py::item(leftover, 1));
        Ref ext = py::item(leftover, 2);
        bool open = index < total && PyDict_Contains(records_.get(), py::integer(index).get()) == 0;
        if (open) {
            Ref base = py::item(host::os_path("splitext", {source(index)}), 0);
            Ref output = py::check(PyUnicode_Concat(base.get(), ext.get()));
            if (std::optional<Ref> name = published_name(temp, output)) {
                if (!carried_.count(index)) carried_[index] = py::list();
                py::append(carried_[index], *name);
                Ref format = py::check(PySequence_GetSlice(ext.get(), 1, PY_SSIZE_T_MAX));
                Ref encoded = py::call_method(format, "encode", {"utf-8", "surrogateescape"});
                carried_formats_[index].insert(PyBytes_AsString(encoded.get()));
            }
        }
        discard(temp);
    });
}

Ref Controller::formats_for(long long index) const {
    Ref formats = py::list();
    auto done = carried_formats_.find(index);
    py::for_each(request_.choices.outputs, [&](const Ref& f) {
        Ref encoded = py::call_method(f, "encode", {"utf-8"});
        if (done != carried_formats_.end() && done->second.count(PyBytes_AsString(encoded.get()))) return;
        py::append(formats, f);
    });
    return formats;
}

void Controller::plan_queue() {
    double now = monotonic();
    for (Py_ssize_t i = 0, n = py::length(sources_); i < n; ++i) {
        if (PyDict_Contains(records_.get(), py::integer(i).get()) == 1) continue;
        auto carried = carried_.find(i);
        // Every output it still lacks was its own format: nothing to open.
        if (carried != carried_.end()) {
            Ref ext = py::call_method(py::item(host::os_path("splitext", {source(i)}), 1), "lower");
            bool more = false;
            py::for_each(formats_for(i), [&](const Ref& f) {
                if (!same(ext, py::format(".{}", {f}))) more = true;
            });
            if (!more) {
                record(i, true, carried->second, py::list(), py::none(), 0, now);
                carried_.erase(carried);
                continue;
            }
        }
        queue_.push_back(i);
    }
}

// ------------------------------------------------------------- workers

void Controller::listen() {
    Ref socket_module = host::module("socket");
    listener_ = py::call(py::getattr(socket_module, "socket"),
                         {py::getattr(socket_module, "AF_INET"), py::getattr(socket_module, "SOCK_STREAM")});
    py::call_method(listener_, "bind", {py::tuple({"127.0.0.1", 0})});
    py::call_method(listener_, "listen", {py::integer(64)});
    token_ = py::call_method(host::os("urandom", {py::integer(16)}), "hex");
    logs_ = py::format("{}.logs", {request_.journal});
    host::os("makedirs", {logs_, py::integer(0777), true});
}

void Controller::spawn() {
    int id = next_id_++;
    Ref port = py::item(py::call_method(listener_, "getsockname"), 1);
    Ref command = py::list({request_.mayapy, "-c", kWorkerCode,
                            host::os_path("dirname", {host::os_path("abspath", {host::global("__file__")})}),
                            "127.0.0.1", py::call(py::builtin("str"), {port}), token_,
                            py::call(py::builtin("str"), {py::integer(id)})});
    Ref log = host::os_path("join", {logs_, py::format("worker-{}.log", {py::integer(id)})});
    double now = monotonic();
    workers_.push_back(std::make_unique<WorkerProcess>(id, command, log, now));
    progress_.worker(id, workers_.back()->pid(), "starting", py::none(), now);
}

bool Controller::has_work() const { return !queue_.empty() && !draining_ && !fatal_; }

// Enough workers starting or idle for the files waiting, within `jobs`.
void Controller::ensure_workers() {
    if (!has_work()) return;
    int busy = 0;
    int available = 0;
    for (const auto& w : workers_) {
        if (w->state() == WorkerProcess::State::Busy) ++busy;
        if (w->state() == WorkerProcess::State::Starting || w->state() == WorkerProcess::State::Idle) {
            ++available;
        }
    }
    auto wanted = std::min<long long>(static_cast<long long>(queue_.size()), request_.jobs - busy);
    for (long long n = available; n < wanted; ++n) spawn();
}

void Controller::hand_out(WorkerProcess& worker, double now) {
    if (!has_work() || worker.files_done() >= kFilesPerWorker) {
        worker.channel()->send(py::dict({{"quit", true}}));
        worker.quitting(now);
        ensure_workers();
        return;
    }
    long long index = queue_.front();
    queue_.pop_front();
    Ref source_file = source(index);
    worker.channel()->send(py::dict(
        {{"convert", source_file}, {"index", py::integer(index)},
         {"position", py::integer(index + 1)}, {"total", py::integer(py::length(sources_))},
         {"formats", formats_for(index)}, {"skip_existing", py::boolean(request_.choices.skip_existing)},
         {"preset", request_.choices.preset}, {"tag", temp_tag(batch_id_, index)}}));
    worker.take(index, now);
    progress_.worker(worker.id(), worker.pid(), "busy", source_file, now);
    start_successor(worker);
}

// A worker near its last file gets its successor started meanwhile, so
// that its slot does not stand idle for a whole Maya start-up: started
// as many files ahead as a start-up lasts.
void Controller::start_successor(WorkerProcess& worker) {
    if (worker.succeeded() || !has_work()) return;
    double files_per_startup = file_seconds_ > 0 ? startup_seconds_ / file_seconds_ : 0.0;
    auto lead = static_cast<int>(std::min(files_per_startup + 1.0, kFilesPerWorker / 2.0));
    if (worker.files_done() + 1 + lead < kFilesPerWorker) return;
    worker.succeed();
    spawn();
}

// ---------------------------------------------------------- conversation

void Controller::poll_sockets(double now) {
    Ref watched = py::list({listener_});
    for (const auto& w : workers_) {
        if (w->channel() && w->state() != WorkerProcess::State::Ended) py::append(watched, w->channel()->socket());
    }
    for (const Channel& c : strangers_) py::append(watched, c.socket());
    Ref ready = py::item(py::call(host::attribute("select", "select"),
                                  {watched, py::list(), py::list(), kTickSeconds}),
                         0);
    now = monotonic();  // the wait may have lasted a while
    auto is_ready = [&ready](const Ref& s) {
        return PySequence_Contains(ready.get(), s.get()) == 1;
    };
    if (is_ready(listener_)) {
        Ref accepted = py::item(py::call_method(listener_, "accept"), 0);
        // Read only what has arrived: a socket found readable may have been
        // emptied meanwhile (its first lines come with the greeting).
        py::call_method(accepted, "setblocking", {false});
        strangers_.emplace_back(accepted);
    }
    for (std::size_t i = strangers_.size(); i-- > 0;) {
        if (is_ready(strangers_[i].socket())) greet(i, now);
    }
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        WorkerProcess& w = *workers_[i];
        if (!w.channel() || w.state() == WorkerProcess::State::Ended || !is_ready(w.channel()->socket())) {
            continue;
        }
        bool open = w.channel()->fill();
        while (std::optional<Ref> message = w.channel()->next()) on_message(w, *message, now);
        if (!open) on_end(w, std::nullopt, now);
    }
}

// A new connection must say which worker it is, with the batch's token.
void Controller::greet(std::size_t stranger, double now) {
    bool open = strangers_[stranger].fill();
    std::optional<Ref> hello = strangers_[stranger].next();
    if (!hello && open) return;  // the rest of its line is on its way
    Channel channel = std::move(strangers_[stranger]);
    strangers_.erase(strangers_.begin() + static_cast<std::ptrdiff_t>(stranger));
    if (hello && same(py::call_method(*hello, "get", {"hello"}), token_)) {
        long long id = py::as_long(py::get_item(*hello, "worker"));
        for (auto& w : workers_) {
            if (w->id() == id && !w->channel() && w->state() == WorkerProcess::State::Starting) {
                w->connected(std::move(channel));
                while (std::optional<Ref> message = w->channel()->next()) on_message(*w, *message, now);
                return;
            }
        }
    }
    channel.close();
}

void Controller::on_message(WorkerProcess& worker, const Ref& message, double now) {
    if (py::find_item(message, "ready")) {
        double startup = now - worker.since();
        startup_seconds_ = std::max(startup_seconds_, startup);
        worker.ready(now);
        startup_failures_ = 0;
        progress_.worker(worker.id(), worker.pid(), "ready", py::check(PyFloat_FromDouble(startup)), now);
        hand_out(worker, now);
    } else if (py::find_item(message, "index") && worker.state() == WorkerProcess::State::Busy) {
        finish_file(worker, message, now);
    }
}

// ------------------------------------------------------------ outcomes

void Controller::finish_file(WorkerProcess& worker, const Ref& reply, double now) {
    long long index = *worker.job();
    double took = now - worker.since();
    file_seconds_ = file_seconds_ > 0 ? 0.9 * file_seconds_ + 0.1 * took : took;
    Ref source_file = source(index);
    Ref base = py::item(host::os_path("splitext", {source_file}), 0);
    Ref outputs = carried_.count(index) ? carried_[index] : py::list();
    carried_.erase(index);
    Ref skipped = py::get_item(reply, "skipped");
    Ref failure = py::get_item(reply, "error");
    if (failure.get() == Py_None) {
        py::for_each(py::get_item(reply, "results"), [&](const Ref& result) {
            if (!py::truthy(py::item(result, 1))) return;
            Ref natural = py::format("{}.{}", {base, py::item(result, 0)});
            std::optional<Ref> published;
            std::optional<Ref> error = py::guard([&] {
                published = publish(py::item(result, 2), natural, request_.choices.skip_existing);
            });
            if (error) {
                failure = py::format("could not publish {}: {}", {host::os_path("basename", {natural}), *error});
            } else if (published) {
                py::append(outputs, *published);
            } else {
                py::append(skipped, natural);
            }
        });
        if (py::length(outputs) == 0 && failure.get() == Py_None) failure = py::str("All conversions failed");
    }
    bool converted = py::length(outputs) > 0 && !py::truthy(py::get_item(reply, "error"));
    record(index, converted, outputs, skipped, converted ? py::none() : failure, worker.id(), now);
    worker.finished(now);
    hand_out(worker, now);
}

// Journal first, then the temporary names go, then the news: a crash at
// any point leaves what a resumed run can put right.
void Controller::record(long long index, bool converted, const Ref& outputs, const Ref& skipped,
                        const Ref& failure, int worker, double now) {
    auto relative = [this](const Ref& paths) {
        Ref result = py::list();
        py::for_each(paths, [&](const Ref& p) { py::append(result, relative_path(request_.folder, p)); });
        return result;
    };
    Ref entry = py::dict({{"source", py::integer(index)}, {"converted", py::boolean(converted)},
                          {"outputs", relative(outputs)}, {"skipped", relative(skipped)},
                          {"failure", failure}});
    journal_->append(entry);
    discard_temps(index);
    Ref shown = py::dict({{"converted", py::boolean(converted)}, {"outputs", outputs},
                          {"skipped", skipped}, {"failure", failure}});
    progress_.file(worker, source(index), shown, now);
}

void Controller::discard_temps(long long index) {
    Ref base = py::item(host::os_path("splitext", {source(index)}), 0);
    Ref tag = temp_tag(batch_id_, index);
    py::for_each(request_.choices.outputs, [&](const Ref& f) {
        py::swallow([&] { discard(temp_path(py::format("{}.{}", {base, f}), tag)); });
    });
}

std::string crash_text(WorkerProcess& worker) {
    std::string how = worker.ending();
    return how.rfind("signal", 0) == 0 ? "Maya crashed (" + how + ")" : "Maya exited (" + how + ")";
}

void Controller::on_end(WorkerProcess& worker, const std::optional<Ref>& timed_out, double now) {
    if (worker.state() == WorkerProcess::State::Ended) return;
    WorkerProcess::State was = worker.state();
    std::optional<long long> job = worker.job();
    worker.reap(kQuitSeconds);
    progress_.worker(worker.id(), worker.pid(), "ended", py::text(worker.ending()), now);
    if (was == WorkerProcess::State::Busy && job) {
        long long index = *job;
        discard_temps(index);
        if (timed_out) {
            record(index, false, carried_.count(index) ? carried_[index] : py::list(), py::list(), *timed_out,
                   worker.id(), now);
            carried_.erase(index);
        } else if (draining_) {
            // Interrupted, not finished: left for a resumed run.
        } else if (worker.stopped_from_outside() && retries_[index]++ < kRetriesAfterStop) {
            queue_.push_front(index);
        } else {
            Ref why = py::format("{} while converting {}", {py::text(crash_text(worker)),
                                                            host::os_path("basename", {source(index)})});
            record(index, false, carried_.count(index) ? carried_[index] : py::list(), py::list(), why,
                   worker.id(), now);
            carried_.erase(index);
        }
    } else if (was == WorkerProcess::State::Starting && has_work()) {
        if (++startup_failures_ >= kStartupFailuresAllowed) {
            fatal_ = py::format("mayapy did not start ({}), {} times in a row; see {}",
                                {py::text(worker.ending()), kStartupFailuresAllowed, worker.log()});
        }
    }
    ensure_workers();
}

// Stuck starting, slow to quit, or still busy when an interrupted batch's
// grace is over.
bool Controller::overdue(const WorkerProcess& w, double age, double now) const {
    switch (w.state()) {
        case WorkerProcess::State::Starting: return age > kStartupSeconds;
        case WorkerProcess::State::Quitting: return age > kQuitSeconds;
        case WorkerProcess::State::Busy: return draining_ && now > grace_until_;
        default: return false;
    }
}

void Controller::check_clocks(double now) {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        WorkerProcess& w = *workers_[i];
        double age = now - w.since();
        if (w.state() == WorkerProcess::State::Busy && request_.timeout && age > *request_.timeout) {
            w.kill();
            on_end(w, py::format("timed out after {:g} s", {*request_.timeout}), now);
        } else if (overdue(w, age, now)) {
            w.kill();
            on_end(w, std::nullopt, now);
        } else if (w.state() != WorkerProcess::State::Ended && w.exited()) {
            // Ended without closing its channel first (or before connecting).
            on_end(w, std::nullopt, now);
        }
    }
}

// ---------------------------------------------------------------- loop

void Controller::loop() {
    ensure_workers();
    for (;;) {
        double now = monotonic();
        int interrupts = interrupts_->count();
        if (interrupts > 0 && !draining_) {
            draining_ = true;
            grace_until_ = now + (interrupts > 1 ? 0.0 : kGraceSeconds);
            for (auto& w : workers_) {
                if (w->state() == WorkerProcess::State::Idle) hand_out(*w, now);
            }
        }
        if (interrupts > 1) grace_until_ = 0;
        bool running = std::any_of(workers_.begin(), workers_.end(), [](const auto& w) {
            return w->state() != WorkerProcess::State::Ended;
        });
        if (!running && !has_work()) return;
        if (!running && has_work()) ensure_workers();
        poll_sockets(now);
        check_clocks(monotonic());
        progress_.tick(monotonic());
    }
}

void Controller::stop_all() {
    for (auto& w : workers_) {
        if (w->state() == WorkerProcess::State::Ended) continue;
        if (w->state() == WorkerProcess::State::Idle && w->channel()) {
            py::swallow([&] { w->channel()->send(py::dict({{"quit", true}})); });
        } else if (w->state() != WorkerProcess::State::Quitting) {
            w->kill();
        }
        py::swallow([&] { w->reap(kQuitSeconds); });
        if (std::optional<long long> job = w->job()) py::swallow([&] { discard_temps(*job); });
    }
    for (Channel& c : strangers_) c.close();
    if (listener_) py::swallow([this] { py::call_method(listener_, "close"); });
}

// The batch's lock is held from before its first temporary file to its
// end; dead batches' temporary files in the sources' folders go first.
Ref Controller::run() {
    open_journal();
    BatchLock lock = BatchLock::hold(request_.folder, batch_id_);
    Ref results;
    py::finally([&] { results = run_locked(); }, [&] { lock.release(); });
    return results;
}

Ref Controller::run_locked() {
    remove_dead_batches(batch_folders(request_.folder, full_sources_));
    recover_leftovers();
    journal_->append(py::dict({{"run", "start"}, {"time", host::time("time")}}));
    Ref before = results_of(read_journal(request_.journal), request_.folder);
    progress_.start(py::length(sources_), py::length(sources_) - py::length(py::get_item(before, "pending")),
                    py::as_long(py::get_item(before, "converted")),
                    py::length(py::get_item(before, "failed")), monotonic());
    plan_queue();
    interrupts_ = std::make_unique<Interrupts>();
    try {
        if (!queue_.empty()) {
            listen();
            loop();
        }
    } catch (const py::PyError&) {
        py::SavedError pending;
        stop_all();
        pending.rethrow();
    }
    stop_all();
    bool interrupted = interrupts_->count() > 0;
    interrupts_.reset();
    journal_->append(py::dict({{"run", "end"}, {"time", host::time("time")},
                               {"interrupted", py::boolean(interrupted)}}));
    journal_->close();
    Ref results = results_of(read_journal(request_.journal), request_.folder);
    py::set_item(results, "journal", request_.journal);
    py::set_item(results, "logs", logs_ ? logs_ : py::format("{}.logs", {request_.journal}));
    py::set_item(results, "interrupted", py::boolean(interrupted));
    py::set_item(results, "error", fatal_ ? *fatal_ : py::none());
    progress_.end(results, interrupted);
    return results;
}

}  // namespace

Ref batch_sources(const Ref& folder, const Choices& choices) {
    Ref found = list_sources(folder, choices.extensions, choices.recursive, [](const Ref& error) {
        write_console(py::format("velmora-batch: skipped folder: {}\n", {error}), "stderr");
    });
    Ref sources = py::list();
    py::for_each(found, [&](const Ref& path) {
        // Another batch's outputs in the making are not scenes.
        if (is_temp_name(host::os_path("basename", {path}))) return;
        py::append(sources, relative_path(folder, path));
    });
    return sources;
}

Ref run_batch(const Request& request) {
    Controller controller(request);
    return controller.run();
}

}  // namespace velmora::headless
