"""Every Maya call of a representative batch made to fail, one at a time.

A clean run is recorded first (the Start press, then Maya's idle loop that
opens the report). The batch is then replayed once per call of that
journal with exactly that call raising, and each replay is held to the
same promises: the sources and every file that existed are untouched, no
output is written twice, the counts add up, Maya and the window come back,
and the failure is reported where the design reports it. The table below
says, call by call, what that place is.
"""

import io
import os
import shutil
import sys
import unittest
from unittest import mock

from support import host, velmora
from test_batch import BatchTestCase
import mayasim

# What a failing call leads to.
SILENT = "silent"        # swallowed: the run is the clean run
LOGGED = "logged"        # the batch goes on; the template below names the error
RAISED = "raised"        # the error reaches the caller of the button command
DEFERRED = "deferred"    # fails in the report, which runs from Maya's idle loop

# Where an interruption ends up (it is never a failure of one file).
I_SILENT = "swallowed"           # a step that drops every error
I_START = "before the batch"     # raised before any state changed: no finalisation
I_BATCH = "inside the batch"     # finalisation runs in full, then it goes up
I_FINAL = "inside finalisation"  # finalisation cut short, it goes up
I_REPORT = "inside the report"   # goes up out of Maya's idle loop


def _flags(call):
    return dict(call.flags)


def _edit(command, flag, value=None):
    def match(call, ctx):
        flags = _flags(call)
        return (call.command == command and flags.get("e") is True and flag in flags
                and (value is None or flags[flag] == value))
    return match


def _plain(command, **flags):
    def match(call, ctx):
        return call.command == command and _flags(call) == flags
    return match


def _mel(prefix):
    def match(call, ctx):
        return call.command == "mel.eval" and call.args[0].startswith(prefix)
    return match


def _after(line, matcher):
    """The call comes while the latest log line is `line` (the step it announces)."""
    def match(call, ctx):
        return ctx.last_line == line and not ctx.log_redraw and matcher(call, ctx)
    return match


def _not_after(lines, matcher):
    def match(call, ctx):
        return ctx.last_line not in lines and matcher(call, ctx)
    return match


def _log_redraw(call, ctx):
    return ctx.log_redraw


def _ui_redraw(call, ctx):
    return call.command == "refresh" and not call.flags and not ctx.log_redraw


def _start_check_box(call, ctx):
    return call.command == "checkBox" and ctx.last_line is None


def _skip_box(call, ctx):
    return call.command == "checkBox" and ctx.last_line is not None


def _save(fmt, maya_type):
    def match(call, ctx):
        flags = _flags(call)
        return call.command == "file" and (
            flags.get("rename", "").endswith("." + fmt) or flags.get("type") == maya_type)
    return match


def _open(call, ctx):
    return call.command == "file" and _flags(call).get("open") is True


def _report(call, ctx):
    return ctx.in_report and not ctx.log_redraw


STEP6 = ">>> Step 6: enable_viewport"
STEP9 = ">>> Step 9: update_status"
NEW_SCENE = "  [DEBUG] Creating new scene..."
SHOW_PANE = "paneLayout -e -manage true"
FINAL_STEPS = [
    (">>> Step 1: select clear", _plain("select", clear=True), ">>> select clear FAILED: {}"),
    (">>> Step 2: file new", _plain("file", new=True, force=True), ">>> file new FAILED: {}"),
    (">>> Step 3: flushUndo", _plain("flushUndo"), ">>> flushUndo FAILED: {}"),
    (">>> Step 4: refresh instead of flushIdleQueue", _plain("refresh", force=True),
     ">>> refresh FAILED: {}"),
    (">>> Step 5: file modified false", _plain("file", modified=False),
     ">>> file modified FAILED: {}"),
    (">>> Step 7: waitCursor false", _plain("waitCursor", state=False),
     ">>> waitCursor FAILED: {}"),
    (">>> Step 8: button restore", _edit("button", "en", True), ">>> button restore FAILED: {}"),
]

# (which call, what a failure leads to, its log template or record, where an
#  interruption ends up, why). Every call of the recorded journal must match
# exactly one row.
TABLE = [
    ("the log's own redraw", _log_redraw, SILENT, None, I_SILENT,
     "the log never fails a step: its redraw drops every error, interruptions too"),
    ("output/source/subfolder check box read by Start", _start_check_box, RAISED, I_START, I_START,
     "the start guards are not guarded; nothing has changed yet"),
    ("Start button disabled", _edit("button", "en", False), RAISED, I_BATCH, I_BATCH,
     "busy state is unguarded: the error reaches the caller, after the finalisation "
     "has put the window back"),
    ("wait cursor on", _plain("waitCursor", state=True), RAISED, I_BATCH, I_BATCH,
     "as above: once the button is disabled, finalisation always runs"),
    ("progress bar of a file", _edit("progressBar", "pr"), LOGGED,
     ("CRITICAL ERROR in process_files: {}", "batch"), I_BATCH,
     "per-file bookkeeping: the rest of the batch is abandoned, finalisation runs"),
    ("status line of a file", _not_after([STEP9], _edit("text", "label")), LOGGED,
     ("CRITICAL ERROR in process_files: {}", "batch"), I_BATCH, "per-file bookkeeping"),
    ("redraw after a file's progress or status", _not_after([STEP9], _ui_redraw), LOGGED,
     ("CRITICAL ERROR in process_files: {}", "batch"), I_BATCH, "per-file bookkeeping"),
    ("a file's empty scene", _after(NEW_SCENE, _plain("file", new=True, force=True)), LOGGED,
     ("  ERROR opening: {}", "file"), I_BATCH, "the file's guarded block: next file"),
    ("main pane hidden", _mel("paneLayout -e -manage false"), LOGGED,
     ("  [DEBUG] Failed to disable viewport: {}", None), I_BATCH,
     "disable_viewport absorbs it; the file is converted with the pane shown"),
    ("source opened", _open, LOGGED, ("  ERROR opening: {}", "file"), I_BATCH,
     "the file's guarded block"),
    ("time unit read", _plain("currentUnit", q=True, time=True), LOGGED,
     ("  ERROR opening: {}", "file"), I_BATCH, "the file's guarded block"),
    ("time unit re-applied", lambda c, x: c.command == "currentUnit" and "q" not in _flags(c),
     LOGGED, ("  ERROR opening: {}", "file"), I_BATCH,
     "outside the per-format guard: convert_file ends, the file's guard records it"),
    ("skip option read", _skip_box, LOGGED, ("  ERROR opening: {}", "file"), I_BATCH,
     "outside the per-format guard"),
    ("MA rename or save", _save("ma", "mayaAscii"), LOGGED, ("  ERROR MA: {}", None), I_BATCH,
     "the per-format guard: the other formats are still written"),
    ("MB rename or save", _save("mb", "mayaBinary"), LOGGED, ("  ERROR MB: {}", None), I_BATCH,
     "the per-format guard"),
    ("FBX preset read", _plain("optionMenu", q=True, v=True), LOGGED, ("  ERROR FBX: {}", None),
     I_BATCH, "a preset that cannot be read fails the FBX output as a whole"),
    ("FBX plug-in and exporter settings",
     lambda c, x: (c.command in ("pluginInfo", "loadPlugin", "playbackOptions")
                   or (c.command == "mel.eval" and c.args[0].startswith("FBXExport")
                       and not c.args[0].startswith("FBXExport -f"))),
     LOGGED, ("  Warning: FBX settings - {}", None), I_BATCH,
     "setup_fbx_export absorbs it; the export goes on"),
    ("FBX export", _mel("FBXExport -f"), LOGGED, ("  ERROR FBX: {}", None), I_BATCH,
     "the per-format guard"),
    ("main pane shown after a file",
     _not_after([STEP6], lambda c, x: (c.command == "mel.eval" and c.args[0].startswith(SHOW_PANE))
                or (x.last_line != FINAL_STEPS[3][0] and _plain("refresh", force=True)(c, x))),
     LOGGED, ("  [DEBUG] Failed to enable viewport: {}", None), I_BATCH,
     "enable_viewport absorbs it (and redraws once more)"),
] + [
    (step, _after(step, matcher), LOGGED, (template, None), I_FINAL,
     "a guarded finalisation step: the later steps still run")
    for step, matcher, template in FINAL_STEPS
] + [
    ("finalisation step 6", _after(STEP6, lambda c, x: True), LOGGED,
     ("  [DEBUG] Failed to enable viewport: {}", None), I_FINAL,
     "enable_viewport absorbs it; the pane was already shown after the last file"),
    ("finalisation step 9 (status and its redraw)", _after(STEP9, lambda c, x: True), RAISED, I_FINAL,
     I_FINAL, "update_status is not guarded: the error reaches the button callback, "
     "no report is scheduled"),
    ("report scheduled", _plain("evalDeferred"), RAISED, I_FINAL, I_FINAL,
     "the scheduling is not guarded: the error reaches the button callback"),
    ("statistics report", _report, DEFERRED, None, I_REPORT,
     "the report runs from Maya's idle loop, which keeps the error"),
]


class Context(object):
    def __init__(self, last_line, log_redraw, in_report):
        self.last_line = last_line
        self.log_redraw = log_redraw
        self.in_report = in_report


class Console(io.TextIOBase):
    """sys.stdout during a recording: remembers each printed log line with
    the journal length at the time, so each call can be told apart by the
    step that announced it."""

    def __init__(self):
        self.lines = []

    def writable(self):
        return True

    def write(self, text):
        if text != "\n":
            self.lines.append((len(host.journal), text.split("] ", 1)[1]))
        return len(text)


class Run(object):
    """One replay: what the caller saw, and the state afterwards."""

    def __init__(self, raised, in_report, messages, conv, snapshot):
        self.raised = raised
        self.in_report = in_report
        self.messages = messages
        self.conv = conv
        self.snapshot = snapshot


class FaultSweep(BatchTestCase):
    # Batch A: subfolders, a file Maya cannot open, an existing output with
    # the skip option off. Batch B: an existing output with the option on.
    BATCHES = {
        "A": dict(files=[("a.ma", "ma"), ("a.fbx", "fbx"), ("sub/b.mb", "mb"),
                         ("sub/broken.ma", None), ("sub/deep/c.ma", "ma")],
                  sources=("ma", "mb"), skip=False),
        "B": dict(files=[("x.ma", "ma"), ("x.mb", "mb")], sources=("ma",), skip=True),
    }
    INTERRUPT_EVERY = 3

    def setUp(self):
        super(FaultSweep, self).setUp()
        self.folder = self.path("src")

    def prepare(self, batch):
        """The batch's folder as it was before any run; returns its content."""
        if getattr(self, "prepared", None) == batch:
            for root, _, names in os.walk(self.folder):
                for name in names:
                    if os.path.join(root, name) not in self.snapshot:
                        os.remove(os.path.join(root, name))
            return self.snapshot
        self.prepared = batch
        shutil.rmtree(self.folder, True)
        for name, fmt in self.BATCHES[batch]["files"]:
            path = os.path.join(self.folder, *name.split("/"))
            if not os.path.isdir(os.path.dirname(path)):
                os.makedirs(os.path.dirname(path))
            if fmt is None:
                with open(path, "w") as f:
                    f.write("not a scene\n")
            else:
                mayasim.write_scene(path, unit="ntsc", fmt=fmt)
        snapshot = {}
        for root, _, names in os.walk(self.folder):
            for name in names:
                with open(os.path.join(root, name), "rb") as f:
                    snapshot[os.path.join(root, name)] = f.read()
        self.snapshot = snapshot
        return snapshot

    def replay(self, batch, position=None, error=None, console=None):
        mayasim.reset()
        snapshot = self.prepare(batch)
        spec = self.BATCHES[batch]
        conv = self.window(self.folder, outputs=("ma", "mb", "fbx"), sources=spec["sources"],
                           skip=spec["skip"], preset="Animation")
        start = len(host.journal)
        if position is not None:
            host.fail_at(start + position, error)
        raised, in_report = None, False
        # The console, and the tracebacks Maya's idle loop prints, are not looked at.
        with mock.patch.object(sys, "stdout", console or io.StringIO()), \
                mock.patch.object(sys, "stderr", io.StringIO()):
            try:
                host.press(conv.convert_btn)
                in_report = True
                host.run_idle()
            except BaseException as e:  # noqa: B902 - interruptions are what we look for
                raised = e
        if position is not None:
            self.assertLess(start + position, len(host.journal), "the run stopped before the call")
        return Run(raised, in_report, self.log_messages(), conv, snapshot), start

    def record(self, batch):
        console = Console()
        run, start = self.replay(batch, console=console)
        self.assertIsNone(run.raised)
        self.assertEqual(host.deferred_errors, [])
        journal = host.journal[start:]
        report_at = next(i for i, c in enumerate(journal) if c.command == "evalDeferred") + 1
        contexts, printed = [], console.lines
        for i in range(len(journal)):
            before = [text for at, text in printed if at <= start + i]
            contexts.append(Context(before[-1] if before else None,
                                    any(at == start + i for at, _ in printed)
                                    and journal[i].command == "refresh" and not journal[i].flags,
                                    i >= report_at))
        rows = []
        for i, (call, ctx) in enumerate(zip(journal, contexts)):
            hits = [row for row in TABLE if row[1](call, ctx)]
            self.assertEqual(len(hits), 1, "call #{} {} after {!r} matches {}".format(
                i, call, ctx.last_line, [h[0] for h in hits]))
            rows.append(hits[0])
        return run, journal, rows

    # ----------------------------------------------------------------- checks
    def check_common(self, run, what):
        conv, messages = run.conv, run.messages
        # Nothing that existed is changed, nothing is written twice.
        for path, content in run.snapshot.items():
            with open(path, "rb") as f:
                self.assertEqual(f.read(), content, (what, path))
        written = [p for p, _ in host.saved_files] + [e["path"] for e in host.fbx_exports]
        self.assertEqual(len(written), len(set(written)), what)
        self.assertFalse(set(written) & set(run.snapshot), what)
        if conv.start_time is None:
            return
        per_file = len([r for r in conv.failed_files if r[0] != "BATCH PROCESS"])
        counted = conv.successful_files + per_file
        if ">>> process_files COMPLETED" in messages:
            self.assertEqual((counted, conv.processed_files), (conv.total_files,) * 2, what)
        else:
            self.assertIn(counted, (conv.processed_files - 1, conv.processed_files), what)
        if ">>> finalize_conversion COMPLETED" in messages:
            text = velmora.cmds.text(conv.status_text, q=True, label=True)
            self.assertEqual(text, "Complete", what)
            self.assertTrue(host.main_pane_managed, what)

            def failed(step):
                return any(m.startswith(">>> {} FAILED: ".format(step)) for m in messages)
            # A restoring step that failed leaves its piece as it was (and says so).
            if not failed("file new"):
                self.assertEqual(host.scene.path, "", what)
            if not failed("file new") and not failed("file modified"):
                self.assertFalse(host.scene.modified, what)
            if not failed("waitCursor"):
                self.assertFalse(host.wait_cursor, what)
            if not failed("button restore"):
                btn = velmora.cmds.button
                self.assertEqual((btn(conv.convert_btn, q=True, en=True),
                                  btn(conv.convert_btn, q=True, label=True)),
                                 (True, "Start Conversion"), what)

    def outcome(self, run, text):
        """A summary of what the run did, for counting distinct outcomes."""
        named = tuple(sorted(set(m.replace(text, "{}") for m in run.messages if text in m)))
        conv = run.conv
        return (type(run.raised).__name__ if run.raised else None, named,
                ">>> finalize_conversion COMPLETED" in run.messages,
                bool(host.deferred_errors), conv.processed_files, conv.successful_files,
                len(conv.failed_files), len(conv.skipped_files))

    def check_phase(self, where, run, what):
        """Where a raised error went through: the finalisation as promised."""
        messages = run.messages
        if where == I_START:
            self.assertIsNone(run.conv.start_time, what)
            self.assertEqual(messages, [], what)
        elif where == I_BATCH:
            self.assertIn(">>> finalize_conversion COMPLETED", messages, what)
            self.assertEqual(messages[-1], ">>> Exited finally block", what)
            self.assertFalse(run.in_report, what)
        elif where == I_FINAL:
            self.assertIn(">>> finalize_conversion STARTED", messages, what)
            self.assertNotIn(">>> Exited finally block", messages, what)
            self.assertFalse(run.in_report, what)
        elif where == I_REPORT:
            self.assertTrue(run.in_report, what)
            self.assertIn(">>> Exited finally block", messages, what)

    def check_error(self, row, run, clean, error, what):
        label, kind, report = row[0], row[2], row[3]
        text = str(error)
        batch, report_lines = self.split_report(run.messages)
        named = [m for m in batch if text in m]
        if kind == RAISED:
            self.assertIs(run.raised, error, what)
            self.check_phase(report, run, what)
        else:
            self.assertIsNone(run.raised, what)
        self.assertEqual(host.deferred_errors, [error] if kind == DEFERRED else [], what)
        if kind == SILENT:
            self.assertEqual(named, [], what)
            self.assertEqual(self.counts(run.conv), self.counts(clean.conv), what)
        elif kind == LOGGED:
            template, record = report
            self.assertEqual(named, [template.format(text)], what)
            self.assertEqual(batch[-1], ">>> Exited finally block", what)
            records = [r for r in run.conv.failed_files if r[1] == text]
            if record == "file":
                self.assertEqual(len(records), 1, what)
                self.assertIn(records[0][0], run.snapshot, what)
            elif record == "batch":
                self.assertEqual(run.conv.failed_files[-1], ("BATCH PROCESS", text), what)
            else:
                self.assertEqual(records, [], what)
            # The report lists every failure record with its reason.
            self.assertEqual(report_lines.count("    " + text), len(records), what)

    @staticmethod
    def split_report(messages):
        """The batch's lines, and those of the report that followed it."""
        end = ">>> Exited finally block"
        if end not in messages:
            return messages, []
        at = messages.index(end) + 1
        return messages[:at], messages[at:]

    def check_interrupt(self, row, run, clean, interrupt, what):
        where = row[4]
        if where == I_SILENT:
            self.assertIsNone(run.raised, what)
            self.assertEqual(self.counts(run.conv), self.counts(clean.conv), what)
        else:
            self.assertIs(run.raised, interrupt, what)
            self.check_phase(where, run, what)

    @staticmethod
    def counts(conv):
        return (conv.total_files, conv.processed_files, conv.successful_files,
                list(conv.failed_files), list(conv.skipped_files))

    # ------------------------------------------------------------------ sweeps
    def sweep(self, batch):
        clean, journal, rows = self.record(batch)
        self.check_common(clean, "clean")
        tried, outcomes, interrupted = 0, set(), 0
        for i, row in enumerate(rows):
            error = RuntimeError("injected #{}".format(i))
            what = "{} #{} {} ({})".format(batch, i, journal[i], row[0])
            run, start = self.replay(batch, i, error)
            failing = host.journal[start + i]
            self.assertEqual((failing.command, [f for f, _ in failing.flags]),
                             (journal[i].command, [f for f, _ in journal[i].flags]), what)
            self.check_common(run, what)
            self.check_error(row, run, clean, error, what)
            outcomes.add(self.outcome(run, str(error)))
            tried += 1
            if i % self.INTERRUPT_EVERY == 0:
                interrupt = KeyboardInterrupt("interrupt #{}".format(i))
                run, _ = self.replay(batch, i, interrupt)
                self.check_common(run, what + " interrupted")
                self.check_interrupt(row, run, clean, interrupt, what + " interrupted")
                outcomes.add(self.outcome(run, str(interrupt)))
                interrupted += 1
        return tried, interrupted, outcomes

    def test_every_call_failing_in_turn(self):
        totals = [0, 0]
        outcomes = set()
        for batch in sorted(self.BATCHES):
            tried, interrupted, seen = self.sweep(batch)
            totals[0] += tried
            totals[1] += interrupted
            outcomes |= seen
        sys.stderr.write("\nfault sweep: {} positions failed, {} interrupted, {} distinct outcomes\n"
                         .format(totals[0], totals[1], len(outcomes)))


class BusyState(BatchTestCase):
    """Once the Start button is disabled the window must come back, even when
    Maya fails to show the wait cursor; the failure itself still goes up."""

    def test_failure_entering_the_busy_state_is_finalised_then_raised(self):
        for command, error in (("waitCursor", RuntimeError("no cursor")),
                               ("button", KeyboardInterrupt())):
            mayasim.reset()
            folder = self.scenes("a.ma")
            conv = self.window(folder, outputs=("mb",))
            host.fail(command, error=error)
            with self.assertRaises(type(error)):
                self.press_start(conv)
            self.assertRestored(conv)
            messages = self.log_messages()
            self.assertNotIn(">>> process_files STARTED, 1 files", messages)
            self.assertEqual(messages[-3:], [">>> finalize_conversion COMPLETED",
                                             ">>> Scheduling show_statistics via evalDeferred",
                                             ">>> Exited finally block"])
            self.assertEqual(len(host.idle_queue), 1)


if __name__ == "__main__":
    unittest.main()
