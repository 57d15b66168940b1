// The controller: runs a batch to its end with a ledger (what the batch
// records), a schedule (the order files go out in) and a fleet (the
// workers it runs). It hands files out, publishes what the workers write,
// journals every finished source before it is reported, and replaces
// workers that crash, hang, or have opened enough scenes.
#include "headless/fleet.hpp"
#include "headless/identity.hpp"
#include "headless/interrupts.hpp"
#include "headless/leftovers.hpp"
#include "headless/ledger.hpp"
#include "headless/options.hpp"
#include "headless/publish_intent.hpp"
#include "headless/publishing.hpp"
#include "headless/resume.hpp"
#include "headless/schedule.hpp"
#include "headless/status_file.hpp"
#include "headless/temporary_files.hpp"
#include "host/host.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>

namespace velmora::headless {
namespace {

// Ctrl-C: files in hand may finish within this many seconds.
constexpr double kGraceSeconds = 10.0;
// Workers that die before they are ready, one after another, before the
// batch gives up (a broken mayapy or licence would otherwise loop).
constexpr int kStartupFailuresAllowed = 3;
// Maya's memory grows with every scene opened: a worker is replaced by a
// fresh one after this many files.
constexpr int kFilesPerWorker = 100;
// A file whose worker was stopped from outside (not a crash) is handed out
// again this many times before it counts as failed.
constexpr int kRetriesAfterStop = 2;

std::string crash_text(WorkerProcess& worker) {
    std::string how = worker.ending();
    return how.rfind("signal", 0) == 0 ? "Maya crashed (" + how + ")" : "Maya exited (" + how + ")";
}

Ref basename(const Ref& path) { return host::os_path("basename", {path}); }

// The body's result; the lock is released whatever the body throws (a
// usage error too, which holds no Python error).
template <class Body>
Ref released_after(std::optional<BatchLock>& lock, Body&& body) {
    Ref result;
    try {
        result = body();
    } catch (const py::PyError&) {
        py::PendingError pending;
        if (lock) lock->release();
        pending.rethrow();
    } catch (...) {
        if (lock) lock->release();
        throw;
    }
    if (lock) lock->release();
    return result;
}

class Controller final : public FleetEvents {
public:
    explicit Controller(const Request& request)
        : request_(request),
          progress_(request.progress, request.console),
          ledger_(request),
          fleet_(request, progress_),
          status_(request.status_file),
          jobs_(request.jobs) {}
    Ref run();

private:
    // FleetEvents
    void ready(WorkerProcess& worker, double now) override;
    void replied(WorkerProcess& worker, const Ref& reply, double now) override;
    void ended(WorkerProcess& worker, WorkerProcess::State was, const std::optional<Ref>& timed_out,
               double now) override;

    void fit_jobs_to_memory();
    void say_notices();
    Ref run_locked();
    Ref convert();
    void stop_workers();
    void loop();
    bool stop_requested() const;
    void report_status(double now);
    void interrupt(int interrupts, double now);
    bool has_work() const { return schedule_ && schedule_->waiting() > 0 && !draining_ && !fatal_; }
    void ensure_workers(double now);
    void hand_out(WorkerProcess& worker, double now);
    void offer_work(double now);
    std::optional<Ref> make_output_folder(long long index);
    void make_output_root();
    template <class Take>
    auto lock_or_refuse(Take&& take) -> decltype(take(Ref()));
    void start_successor(WorkerProcess& worker, double now);
    Outcome outcome_of(long long index, const Ref& reply);
    void journal_intent(long long index, const Ref& results);
    void note_lost_log(WorkerProcess& worker, const Ref& reply);
    void record(long long index, const Outcome& outcome, int worker, double now);
    void fail(long long index, const Ref& why, int worker, double now);
    Ref tag(long long index) const { return temp_tag(ledger_.batch_id(), index); }

    const Request& request_;
    Progress progress_;
    Ledger ledger_;
    Fleet fleet_;
    std::optional<Schedule> schedule_;
    StatusFile status_;
    std::optional<long long> memory_;  // what the machine can give the workers
    int jobs_ = 1;                     // workers at most
    std::map<long long, int> retries_;
    double file_seconds_ = 0;  // a running mean of one file's time
    int startup_failures_ = 0;
    bool draining_ = false;
    double grace_until_ = 0;
    std::optional<Ref> fatal_;
    bool log_lost_ = false;
    std::unique_ptr<Interrupts> interrupts_;
};

// ------------------------------------------------------------ hand-out

// Enough workers starting or idle for the files that may start, within
// `jobs`.
void Controller::ensure_workers(double now) {
    if (!has_work()) return;
    auto busy = static_cast<long long>(fleet_.count(WorkerProcess::State::Busy));
    auto available = static_cast<long long>(fleet_.count(WorkerProcess::State::Starting)) +
                     static_cast<long long>(fleet_.count(WorkerProcess::State::Idle));
    long long wanted = std::min<long long>(static_cast<long long>(schedule_->startable()), jobs_ - busy);
    for (long long n = available; n < wanted; ++n) fleet_.spawn(now);
}

void Controller::hand_out(WorkerProcess& worker, double now) {
    if (!has_work() || worker.files_done() >= kFilesPerWorker || worker.retiring()) {
        worker.channel()->send(py::dict({{"quit", true}}));
        worker.quitting(now);
        ensure_workers(now);
        return;
    }
    std::optional<long long> next;
    while ((next = schedule_->take(memory_))) {
        std::optional<Ref> why = make_output_folder(*next);
        if (!why) break;
        fail(*next, *why, worker.id(), now);
        schedule_->finished(*next, std::nullopt);
    }
    if (!next) {
        // Idle until a competing source, or memory, is free; or done.
        if (!has_work()) hand_out(worker, now);
        return;
    }
    long long index = *next;
    Ref source_file = ledger_.source(index);
    Ref job = py::dict({{"convert", source_file}, {"index", py::integer(index)},
                        {"position", py::integer(index + 1)}, {"total", py::integer(ledger_.total())},
                        {"formats", ledger_.formats_for(index)}, {"tag", tag(index)},
                        {"base", ledger_.output_base(index)}});
    py::check_status(PyDict_Update(job.get(), worker_choices(request_.choices).get()));
    worker.channel()->send(job);
    worker.take(index, now);
    progress_.worker(worker.id(), worker.pid(), WorkerProcess::State::Busy, source_file, now);
    start_successor(worker, now);
}

// The output folder the user chose is made first: the batch's lock lies in
// it. One that cannot be made is bad input.
void Controller::make_output_root() {
    if (!ledger_.outputs_apart()) return;
    const Ref& root = ledger_.output_root();
    if (std::optional<Ref> error = py::guard([&] { host::os("makedirs", {root, py::integer(0777), true}); })) {
        usage(py::format("could not make the output folder {}: {}", {root, *error}));
    }
}

// A folder that refuses the batch's lock files refuses its outputs too
// (read-only, or not the user's): bad input, said in one line.
template <class Take>
auto Controller::lock_or_refuse(Take&& take) -> decltype(take(Ref())) {
    const Ref& root = ledger_.output_root();
    try {
        return take(root);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        Ref why = py::take_error_text();
        bool elsewhere = ledger_.outputs_apart();
        usage(py::format("cannot write in {}: {}{}",
                         {root, why, elsewhere ? "" : "; to convert a folder that cannot be written, "
                                                      "write the outputs elsewhere with --output-folder"}));
    }
}

// An output folder's subfolders are made as their sources come up; one
// that cannot be made fails its source with the system's reason.
std::optional<Ref> Controller::make_output_folder(long long index) {
    if (!ledger_.outputs_apart()) return std::nullopt;
    Ref folder = host::os_path("dirname", {ledger_.output_base(index)});
    std::optional<Ref> error = py::guard([&] { host::os("makedirs", {folder, py::integer(0777), true}); });
    if (!error) return std::nullopt;
    return py::format("could not make the folder {}: {}", {folder, *error});
}

// Idle workers get what has become free to start.
void Controller::offer_work(double now) {
    for (const auto& w : fleet_.workers()) {
        if (w->state() == WorkerProcess::State::Idle && w->channel()) hand_out(*w, now);
    }
    ensure_workers(now);
}

// A worker near its last file gets its successor started meanwhile, so
// that its slot does not stand idle for a whole Maya start-up: started
// as many files ahead as a start-up lasts.
void Controller::start_successor(WorkerProcess& worker, double now) {
    if (worker.succeeded() || !has_work()) return;
    double files_per_startup = file_seconds_ > 0 ? fleet_.startup_seconds() / file_seconds_ : 0.0;
    auto lead = static_cast<int>(std::min(files_per_startup + 1.0, kFilesPerWorker / 2.0));
    if (worker.files_done() + 1 + lead < kFilesPerWorker) return;
    worker.succeed();
    fleet_.spawn(now);
}

// ------------------------------------------------------------ outcomes

void Controller::ready(WorkerProcess& worker, double now) {
    startup_failures_ = 0;
    hand_out(worker, now);
}

void Controller::replied(WorkerProcess& worker, const Ref& reply, double now) {
    long long index = *worker.job();
    double took = now - worker.since();
    file_seconds_ = file_seconds_ > 0 ? 0.9 * file_seconds_ + 0.1 * took : took;
    note_lost_log(worker, reply);
    if (py::find_item(reply, "retire")) worker.retire();
    record(index, outcome_of(index, reply), worker.id(), now);
    schedule_->finished(index, took);
    worker.finished(now);
    hand_out(worker, now);
    offer_work(now);
}

// A worker whose log could not be written goes on without it (worker.cpp):
// the batch's own disk, said once, never a source's failure.
void Controller::note_lost_log(WorkerProcess& worker, const Ref& reply) {
    std::optional<Ref> reason = py::find_item(reply, "log_lost");
    if (!reason || log_lost_) return;
    log_lost_ = true;
    progress_.warn(py::format("the workers' logs cannot be written ({}: {}); the workers go on without them",
                              {worker.log(), *reason}));
}

// A source is converted only when every chosen output was written or
// skipped by rule (as existing, or as its own format), and at least one
// exists; otherwise it failed, with the reason of the first output that
// could not be written or published.
Outcome Controller::outcome_of(long long index, const Ref& reply) {
    Outcome outcome{false, ledger_.carried(index), py::get_item(reply, "skipped"), py::get_item(reply, "error"),
                    py::call_method(reply, "get", {"notes", py::list()})};
    if (outcome.failure.get() != Py_None) return outcome;  // it did not open
    Ref base = ledger_.output_base(index);
    std::optional<Ref> failure;
    journal_intent(index, py::get_item(reply, "results"));
    py::for_each(py::get_item(reply, "results"), [&](const Ref& result) {
        Ref natural = py::format("{}.{}", {base, py::item(result, 0)});
        if (!py::truthy(py::item(result, 1))) {
            if (!failure) failure = py::format("could not write {}: {}", {basename(natural), py::item(result, 2)});
            return;
        }
        std::optional<Ref> published;
        std::optional<Ref> error = py::guard([&] {
            published = publish(py::item(result, 2), natural, request_.choices.skip_existing);
        });
        if (error) {
            if (!failure) failure = py::format("could not publish {}: {}", {basename(natural), *error});
        } else if (published) {
            py::append(outcome.outputs, *published);
        } else {
            py::append(outcome.skipped, natural);
        }
    });
    outcome.converted = !failure && py::length(outcome.outputs) > 0;
    outcome.failure = failure ? *failure : outcome.converted ? py::none() : py::str("All conversions failed");
    return outcome;
}

// What is about to be published is on disk in the journal before the
// first link (publish_intent.hpp).
void Controller::journal_intent(long long index, const Ref& results) {
    Ref files = py::dict();
    py::for_each(results, [&](const Ref& result) {
        if (!py::truthy(py::item(result, 1))) return;
        if (std::optional<Ref> identity = file_identity(py::item(result, 2))) {
            py::check_status(PyObject_SetItem(files.get(), py::item(result, 0).get(), identity->get()));
        }
    });
    if (py::length(files) > 0) ledger_.intend(index, files);
}

// Journal first, then the temporary names go, then the news: a crash at
// any point leaves what a resumed run can put right.
void Controller::record(long long index, const Outcome& outcome, int worker, double now) {
    ledger_.record(index, outcome);
    discard_temps(ledger_.output_base(index), request_.choices.outputs, tag(index));
    Ref shown = py::dict({{"converted", py::boolean(outcome.converted)}, {"outputs", outcome.outputs},
                          {"skipped", outcome.skipped}, {"failure", outcome.failure}});
    progress_.file(worker, ledger_.source(index), shown, now);
}

void Controller::fail(long long index, const Ref& why, int worker, double now) {
    record(index, Outcome{false, ledger_.carried(index), py::list(), why}, worker, now);
}

void Controller::ended(WorkerProcess& worker, WorkerProcess::State was, const std::optional<Ref>& timed_out,
                       double now) {
    std::optional<long long> job = worker.job();
    if (was == WorkerProcess::State::Busy && job) {
        long long index = *job;
        discard_temps(ledger_.output_base(index), request_.choices.outputs, tag(index));
        if (timed_out) {
            fail(index, *timed_out, worker.id(), now);
            schedule_->finished(index, std::nullopt);
        } else if (draining_) {
            // Interrupted, not finished: left for a resumed run.
        } else if (worker.stopped_from_outside() && retries_[index]++ < kRetriesAfterStop) {
            schedule_->put_back(index);
        } else {
            fail(index, py::format("{} while converting {}", {py::text(crash_text(worker)),
                                                             basename(ledger_.source(index))}),
                 worker.id(), now);
            schedule_->finished(index, std::nullopt);
        }
    } else if (was == WorkerProcess::State::Starting && has_work()) {
        if (++startup_failures_ >= kStartupFailuresAllowed) {
            fatal_ = py::format("mayapy did not start ({}), {} times in a row; see {}",
                                {py::text(worker.ending()), kStartupFailuresAllowed, worker.log()});
        }
    }
    offer_work(now);
}

// The biggest scenes go first, side by side: by default no more workers
// than the machine's free memory holds for the biggest (estimated from
// their sizes, see memory_for), and no file handed out while the memory
// of those in hand leaves no room for it. A number of workers the user
// chose is obeyed, with a warning when it looks too many.
void Controller::fit_jobs_to_memory() {
    if (!memory_) return;
    auto fits = static_cast<int>(std::min<std::size_t>(schedule_->fits_in(*memory_), 256));
    if (!request_.jobs_chosen) {
        jobs_ = std::min(jobs_, fits);
        return;
    }
    if (request_.jobs > fits) {
        progress_.warn(py::format(
            "{} workers may need more memory than the {:.1f} GiB free for the biggest scenes "
            "(about {} at a time fit); the machine may swap",
            {request_.jobs, static_cast<double>(*memory_) / (1LL << 30), fits}));
    }
    memory_.reset();  // the user's number is obeyed
}

// What the checks changed, and a batch with nothing to convert: an empty
// result is said, never a silent success.
void Controller::say_notices() {
    py::for_each(request_.notices, [this](const Ref& notice) { progress_.warn(notice); });
    if (ledger_.total() > 0) return;
    const Choices& c = request_.choices;
    bool filtered = py::length(c.include) > 0 || py::length(c.exclude) > 0;
    progress_.warn(py::format("nothing to convert: no source of the chosen types ({}){} in {}",
                              {py::call_method(py::str(" "), "join", {c.extensions}),
                               filtered ? " that the include and exclude patterns take" : "", request_.folder}));
}

// ---------------------------------------------------------------- loop

void Controller::interrupt(int interrupts, double now) {
    if (!draining_) {
        draining_ = true;
        grace_until_ = now + (interrupts > 1 ? 0.0 : kGraceSeconds);
        for (const auto& w : fleet_.workers()) {
            if (w->state() == WorkerProcess::State::Idle) hand_out(*w, now);
        }
    }
    if (interrupts > 1) grace_until_ = 0;
}

// A watched batch is asked to stop by a file, the same on every platform.
bool Controller::stop_requested() const {
    return request_.stop_file && py::truthy(host::os_path("exists", {request_.stop_file}));
}

void Controller::report_status(double now) {
    BatchStatus status{draining_ ? "stopping" : "running", progress_.total(), progress_.done(),
                       progress_.converted(), progress_.failed(), progress_.seconds_left(now)};
    status_.update(status, now);
}

void Controller::loop() {
    ensure_workers(monotonic());
    for (;;) {
        double now = monotonic();
        int interrupts = interrupts_->count();
        if (interrupts == 0 && !draining_ && stop_requested()) interrupts = 1;
        if (interrupts > 0) interrupt(interrupts, now);
        report_status(now);
        bool running = fleet_.running();
        if (!running && !has_work()) return;
        if (!running) ensure_workers(now);
        fleet_.poll(*this);
        fleet_.check_clocks(*this, Deadlines{request_.timeout, draining_, grace_until_}, monotonic());
        progress_.tick(monotonic());
    }
}

void Controller::stop_workers() {
    for (long long index : fleet_.stop_all()) {
        py::swallow([&] { discard_temps(ledger_.output_base(index), request_.choices.outputs, tag(index)); });
    }
}

// A batch's lock of life (identity.hpp) is held before its journal is
// touched, to its end. It is also the lock of its temporary files
// (leftovers.hpp), which are named by its identity; a batch that goes on
// with a journal of before identities, or a farm task, holds its batch's
// own lock (shared among the tasks) as well, from before its first
// temporary file.
Ref Controller::run() {
    make_output_root();
    std::optional<BatchLock> life;
    if (request_.identity.get() != Py_None) {
        life.emplace(lock_or_refuse([this](const Ref& root) { return hold_life(root, request_.identity); }));
    }
    return released_after(life, [this, &life] {
        ledger_.open();
        // The lock lies also in the output folders that links lead elsewhere.
        Ref output_bases = py::list();
        for (long long i = 0; i < ledger_.total(); ++i) py::append(output_bases, ledger_.output_base(i));
        Ref writes_into = batch_folders(ledger_.output_root(), output_bases);
        std::optional<BatchLock> lock;
        if (PyObject_RichCompareBool(ledger_.batch_id().get(), request_.identity.get(), Py_EQ) != 1) {
            lock = lock_or_refuse(
                [&](const Ref& root) { return BatchLock::hold(root, ledger_.batch_id(), writes_into); });
        } else {
            lock_or_refuse([&](const Ref& root) {
                life->also_in(root, writes_into);
                return true;
            });
        }
        return released_after(lock, [this] { return run_locked(); });
    });
}

// An error on its way up first has the signal handlers put back, the
// workers stopped and the journal closed.
Ref Controller::run_locked() {
    try {
        return convert();
    } catch (const py::PyError&) {
        py::PendingError pending;  // held while the clean-up calls Python
        if (interrupts_) interrupts_->restore();
        stop_workers();
        py::swallow([this] { ledger_.close(); });
        pending.rethrow();
    }
}

// Dead batches' temporary files in the sources' folders go first.
Ref Controller::convert() {
    Ref full_sources = py::list();
    Ref output_bases = py::list();
    for (long long i = 0; i < ledger_.total(); ++i) {
        py::append(full_sources, ledger_.source(i));
        py::append(output_bases, ledger_.output_base(i));
    }
    recover_published(ledger_);
    remove_dead_batches(batch_folders(ledger_.output_root(), output_bases));
    recover_leftovers(ledger_);
    ledger_.run_started();
    std::deque<long long> wanted = sources_to_convert(ledger_);
    schedule_.emplace(full_sources, competing_chains(ledger_.sources()), wanted);
    memory_ = available_memory();
    fit_jobs_to_memory();
    say_notices();
    progress_.start(ledger_.total(), ledger_.done(), ledger_.converted(), ledger_.failed(), monotonic());
    interrupts_ = std::make_unique<Interrupts>();
    if (schedule_->waiting() > 0) {
        fleet_.listen();
        loop();
    }
    stop_workers();
    bool interrupted = draining_ || interrupts_->count() > 0;
    interrupts_->restore();
    ledger_.run_ended(interrupted);
    ledger_.close();
    Ref results = ledger_.results();
    py::set_item(results, "journal", request_.journal);
    py::set_item(results, "logs", fleet_.logs());
    py::set_item(results, "interrupted", py::boolean(interrupted));
    py::set_item(results, "error", fatal_ ? *fatal_ : py::none());
    progress_.end(results, interrupted);
    return results;
}

}  // namespace

Ref run_batch(const Request& request) {
    Controller controller(request);
    return controller.run();
}

}  // namespace velmora::headless
