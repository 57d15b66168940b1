// Inside mayapy: each check run, timed and written down as it ends.
//
// The findings go to a file of their own, one JSON line each, flushed
// line by line, never to standard output: whatever Maya and its plug-ins
// print cannot break them, and a check that crashes Maya leaves every
// line before it intact. Before a check starts, a line names it, so the
// doctor outside knows which check a dead or stuck mayapy was on.
#pragma once

#include "doctor/checklist.hpp"

#include <optional>

namespace velmora::doctor {

// Ends a check that found something wrong without a Python error: raises
// RuntimeError(message), which the check's clean-up sees as any error of
// Maya's, and the recorder reports as its message.
[[noreturn]] void fail(const Ref& message);

class Recorder {
public:
    // Appends to the findings file at `path`.
    explicit Recorder(const Ref& path);

    // Runs a check: `body` returns what it found (a str); it fails by
    // raising an error of class Exception (Maya's message, or fail()'s).
    // Anything else (KeyboardInterrupt, SystemExit) goes on up. Returns
    // whether the check passed.
    template <class Body>
    bool run(const Check& check, Body&& body);

    // A check that was not run, and why.
    void not_checked(const Check& check, const Ref& why);

private:
    void begin(const Check& check);
    void record(const Check& check, bool ok, const Ref& detail, double started);
    void write(const Ref& record);

    Ref file_;
};

double monotonic();

template <class Body>
bool Recorder::run(const Check& check, Body&& body) {
    begin(check);
    double started = monotonic();
    Ref detail;
    if (std::optional<Ref> failure = py::guard([&] { detail = body(); })) {
        record(check, false, failure_detail(check, *failure), started);
        return false;
    }
    record(check, true, detail, started);
    return true;
}

}  // namespace velmora::doctor
