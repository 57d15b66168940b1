// The batches window (velmora.show_batches): a launcher of background
// batches over a row for each batch of this user, kept current while the
// window is open.
//
// Only Maya's main thread touches the window. A timer thread of its own
// wakes twice a second and hands a refresh to the main thread with
// maya.utils.executeDeferred, one at a time (a refresh not yet run by a
// busy Maya is not queued again); the refresh reads batches() (cheap:
// only what changed on disk is read) and edits the rows in place. The
// rows are slots, top to bottom: a new batch adds a slot at the bottom, a
// forgotten one removes the last, and each slot shows the batch of its
// place, so only the values that differ are edited. Every deletion
// happens in that deferred refresh, never inside a command of the
// controls deleted.
// The timer stops when the window goes: its deletion triggers a script
// job, and a refresh that finds the window gone stops it too. It stops
// too when the interpreter exits (an atexit hook, which runs before the
// interpreter starts to finalise): a daemon thread still running then
// would be torn down in the middle of velmora's code.
#pragma once

#include "host/py.hpp"

#include <memory>
#include <vector>

namespace velmora::background::window {

using py::Ref;

// The launcher's controls (full names).
struct Launcher {
    Ref folder;
    Ref recursive;
    Ref skip_existing;
    Ref sources[3];  // .ma .mb .fbx
    Ref outputs[3];
    Ref preset;
    Ref jobs;
    Ref timeout;
};

// One slot of the rows: the id and folder of the batch it shows now, and
// its controls.
struct Row {
    Ref layout;  // holds the rest: deleted with the slot
    Ref id;
    Ref folder;
    Ref folder_text;
    Ref state_text;
    Ref progress;
    Ref count_text;
    Ref converted_text;
    Ref failed_text;
    Ref time_text;
    Ref stop_button;
    Ref resume_button;
    Ref forget_button;
    Ref report_button;
    Ref folder_button;
};

struct State {
    Ref window;       // the name Maya gave the window
    Ref layout;       // its top layout: gone when this build of the window is gone
    Ref scroll;       // holds the rows' column
    Ref rows_column;  // holds the rows
    Ref status_text;
    Ref forget_ended;  // the button
    Launcher launcher;
    std::vector<Row> rows;
    Ref shown;     // dict (control, flag) -> the value the control shows
    Ref watched;   // dict id -> the state the window last saw
    Ref execute_deferred;  // maya.utils.executeDeferred
    Ref stop_timer;        // threading.Event
    Ref timer;             // threading.Thread, or null
    Ref at_exit;           // the atexit hook that closes the window, or null
    bool exiting = false;  // the hook runs
    bool refresh_queued = false;
    bool closed = false;
};

using Window = std::shared_ptr<State>;

// batches_window.cpp
void show();
// Reads the batches and brings the rows up to date (now, on the main
// thread); a failure to read is shown in the status line.
void refresh(const Window& w);
// Queues a refresh for Maya's next idle moment, unless one is queued.
// Callable from the timer thread.
void queue_refresh(const Window& w);
// Stops the timer (joined) and the refreshes, and takes back the atexit
// hook; idempotent.
void close(const Window& w);
// A warning dialog for the user (a bad launcher input, a failed action).
void tell(const Ref& message);
// command(control, e=True, flag=value), unless the control shows that
// value already.
void show_value(const Window& w, const Ref& control, const char* command, const char* flag,
                const Ref& value);
// Remembers that the window saw batch `id` in `state`.
void watch(const Window& w, const Ref& id, const char* state);

// launcher.cpp: builds the launcher in the current layout.
void build_launcher(const Window& w);

// batch_rows.cpp
void update_rows(const Window& w, const Ref& batches);
// The button's command that forgets every ended batch, once confirmed.
Ref forget_ended_command(const Window& w);
// The viewport message of each watched batch that ended since the last
// refresh; every batch is watched from then on.
void announce_endings(const Window& w, const Ref& batches);
bool is_active(const Ref& state);

// refresh_timer.cpp: the timer thread, started now, and the atexit hook
// that stops it.
void start_timer(const Window& w);
void stop_timer(const Window& w);

}  // namespace velmora::background::window
