#include "headless/fleet.hpp"

#include "host/host.hpp"

namespace velmora::headless {
namespace {

// A Maya that takes longer than this to start is stuck.
constexpr double kStartupSeconds = 600.0;
// How long one poll waits for the workers to say something.
constexpr double kTickSeconds = 0.25;

constexpr const char kWorkerCode[] =
    "import sys; sys.path.insert(0, sys.argv[1]); import velmora; "
    "sys.exit(velmora._worker(sys.argv[2:]))";

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

}  // namespace

double monotonic() { return py::as_double(py::call(host::attribute("time", "monotonic"))); }

Fleet::Fleet(const Request& request, Progress& progress)
    : request_(request), progress_(progress), logs_(py::format("{}.logs", {request.journal})) {}

Ref Fleet::logs() const { return logs_; }

void Fleet::listen() {
    Ref socket_module = host::module("socket");
    listener_ = py::call(py::getattr(socket_module, "socket"),
                         {py::getattr(socket_module, "AF_INET"), py::getattr(socket_module, "SOCK_STREAM")});
    py::call_method(listener_, "bind", {py::tuple({"127.0.0.1", 0})});
    py::call_method(listener_, "listen", {py::integer(64)});
    token_ = py::call_method(host::os("urandom", {py::integer(16)}), "hex");
    // One that cannot be made is said when the first worker starts.
    py::guard([this] { host::os("makedirs", {logs_, py::integer(0777), true}); });
}

// A worker's log file, or the null device when it cannot be made (the
// batch's disk full or not writable): said once, and the batch goes on.
Ref Fleet::log_file(int id) {
    Ref log = host::os_path("join", {logs_, py::format("worker-{}.log", {py::integer(id)})});
    std::optional<Ref> error = py::guard([&log] {
        py::with(py::call(py::builtin("open"), {log, "ab"}), [](const Ref&) {});
    });
    if (!error) return log;
    if (!log_refused_) {
        log_refused_ = true;
        progress_.warn(py::format("the workers' logs cannot be written ({}: {}); the workers go on without them",
                                  {log, *error}));
    }
    return host::attribute("os", "devnull");
}

void Fleet::spawn(double now) {
    int id = next_id_++;
    Ref port = py::item(py::call_method(listener_, "getsockname"), 1);
    Ref command = py::list({request_.mayapy, "-c", kWorkerCode,
                            host::os_path("dirname", {host::os_path("abspath", {host::global("__file__")})}),
                            "127.0.0.1", py::call(py::builtin("str"), {port}), token_,
                            py::call(py::builtin("str"), {py::integer(id)})});
    Ref log = log_file(id);
    workers_.push_back(std::make_unique<WorkerProcess>(id, command, log, now));
    progress_.worker(id, workers_.back()->pid(), WorkerProcess::State::Starting, py::none(), now);
}

std::size_t Fleet::count(WorkerProcess::State state) const {
    std::size_t n = 0;
    for (const auto& w : workers_) n += w->state() == state ? 1 : 0;
    return n;
}

bool Fleet::running() const {
    return workers_.size() > count(WorkerProcess::State::Ended);
}

// ---------------------------------------------------------- conversation

void Fleet::poll(FleetEvents& events) {
    Ref watched = py::list({listener_});
    for (const auto& w : workers_) {
        if (w->channel() && w->state() != WorkerProcess::State::Ended) py::append(watched, w->channel()->socket());
    }
    for (const Channel& c : strangers_) py::append(watched, c.socket());
    Ref ready = py::item(py::call(host::attribute("select", "select"),
                                  {watched, py::list(), py::list(), kTickSeconds}),
                         0);
    double now = monotonic();  // the wait may have lasted a while
    auto is_ready = [&ready](const Ref& s) { return PySequence_Contains(ready.get(), s.get()) == 1; };
    if (is_ready(listener_)) {
        Ref accepted = py::item(py::call_method(listener_, "accept"), 0);
        // Read only what has arrived: a socket found readable may have been
        // emptied meanwhile (its first lines come with the greeting).
        py::call_method(accepted, "setblocking", {false});
        strangers_.emplace_back(accepted);
    }
    for (std::size_t i = strangers_.size(); i-- > 0;) {
        if (is_ready(strangers_[i].socket())) greet(i, events, now);
    }
    // Events may start workers: index, not iterators.
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        WorkerProcess& w = *workers_[i];
        if (!w.channel() || w.state() == WorkerProcess::State::Ended || !is_ready(w.channel()->socket())) {
            continue;
        }
        bool open = w.channel()->fill();
        while (std::optional<Ref> message = w.channel()->next()) on_message(w, *message, events, now);
        if (!open) end(w, events, std::nullopt, now);
    }
}

// A new connection must say which worker it is, with the batch's token.
void Fleet::greet(std::size_t stranger, FleetEvents& events, double now) {
    bool open = strangers_[stranger].fill();
    std::optional<Ref> hello = strangers_[stranger].next();
    if (!hello && open) return;  // the rest of its line is on its way
    Channel channel = std::move(strangers_[stranger]);
    strangers_.erase(strangers_.begin() + static_cast<std::ptrdiff_t>(stranger));
    if (hello && same(py::call_method(*hello, "get", {"hello"}), token_)) {
        long long id = py::as_long(py::get_item(*hello, "worker"));
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            WorkerProcess& w = *workers_[i];
            if (w.id() == id && !w.channel() && w.state() == WorkerProcess::State::Starting) {
                w.connected(std::move(channel));
                while (std::optional<Ref> message = w.channel()->next()) on_message(w, *message, events, now);
                return;
            }
        }
    }
    channel.close();
}

void Fleet::on_message(WorkerProcess& worker, const Ref& message, FleetEvents& events, double now) {
    if (py::find_item(message, "ready")) {
        double startup = now - worker.since();
        startup_seconds_ = std::max(startup_seconds_, startup);
        worker.ready(now);
        progress_.worker(worker.id(), worker.pid(), WorkerProcess::State::Idle,
                         py::check(PyFloat_FromDouble(startup)), now);
        events.ready(worker, now);
    } else if (py::find_item(message, "index") && worker.state() == WorkerProcess::State::Busy) {
        events.replied(worker, message, now);
    }
}

void Fleet::end(WorkerProcess& worker, FleetEvents& events, const std::optional<Ref>& timed_out,
                double now) {
    if (worker.state() == WorkerProcess::State::Ended) return;
    WorkerProcess::State was = worker.state();
    worker.reap(kQuitSeconds);
    progress_.worker(worker.id(), worker.pid(), WorkerProcess::State::Ended, py::text(worker.ending()), now);
    events.ended(worker, was, timed_out, now);
}

// -------------------------------------------------------------- clocks

// Stuck starting, slow to quit, or still busy when an interrupted batch's
// grace is over.
bool Fleet::overdue(const WorkerProcess& w, const Deadlines& deadlines, double now) const {
    double age = now - w.since();
    switch (w.state()) {
        case WorkerProcess::State::Starting: return age > kStartupSeconds;
        case WorkerProcess::State::Quitting: return age > kQuitSeconds;
        case WorkerProcess::State::Busy: return deadlines.draining && now > deadlines.grace_until;
        default: return false;
    }
}

void Fleet::check_clocks(FleetEvents& events, const Deadlines& deadlines, double now) {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        WorkerProcess& w = *workers_[i];
        double age = now - w.since();
        if (w.state() == WorkerProcess::State::Busy && deadlines.per_file && age > *deadlines.per_file) {
            w.kill();
            end(w, events, py::format("timed out after {:g} s", {*deadlines.per_file}), now);
        } else if (overdue(w, deadlines, now)) {
            w.kill();
            end(w, events, std::nullopt, now);
        } else if (w.state() != WorkerProcess::State::Ended && w.exited()) {
            // Ended without closing its channel first (or before connecting).
            end(w, events, std::nullopt, now);
        }
    }
}

std::vector<long long> Fleet::stop_all() {
    std::vector<long long> in_hand;
    for (auto& w : workers_) {
        if (w->state() == WorkerProcess::State::Ended) continue;
        if (w->state() == WorkerProcess::State::Idle && w->channel()) {
            py::swallow([&] { w->channel()->send(py::dict({{"quit", true}})); });
        } else if (w->state() != WorkerProcess::State::Quitting) {
            w->kill();
        }
        py::swallow([&] { w->reap(kQuitSeconds); });
        if (std::optional<long long> job = w->job()) in_hand.push_back(*job);
    }
    for (Channel& c : strangers_) c.close();
    if (listener_) py::swallow([this] { py::call_method(listener_, "close"); });
    return in_hand;
}

}  // namespace velmora::headless
