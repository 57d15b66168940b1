"""The batches window (velmora.show_batches) over real background batches
on the simulated mayapy: its rows against batches(), its buttons, its
launcher, the message of a batch that ends, and its timer thread."""

import gc
import json
import os
import subprocess
import sys
import threading
import time

from headless_support import MAYAPY, HeadlessTestCase, host, mayasim, velmora
from support import BUILD, SIM

WINDOW = "velmoraBatchesWin"
TIMER = "velmora-batches-window"
ACTIVE = ("starting", "running", "stopping")


def timers():
    return [t for t in threading.enumerate() if t.name == TIMER]


def find(node, kind):
    """The first node of `kind` below `node` (depth first)."""
    for child in node["children"]:
        if child["kind"] == kind:
            return child
        found = find(child, kind)
        if found is not None:
            return found
    return None


class BatchesWindowCase(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.setenv("XDG_CACHE_HOME", self.path("cache"))
        self.setenv("MAYA_LOCATION", SIM)  # its bin/mayapy is the simulated one
        self.addCleanup(self.end_batches)
        self.addCleanup(self.close_window)

    def close_window(self):
        if host.ui.window(WINDOW) is not None:
            host.close_window(WINDOW)
        host.run_idle()

    def end_batches(self):
        for batch in velmora.batches():
            if batch["state"] in ACTIVE:
                velmora.stop_batch(batch["id"])
        self.wait(lambda: all(b["state"] not in ACTIVE for b in velmora.batches()), idle=False)
        self.assertWorkersGone(self.tmp)

    def wait(self, condition, timeout=60, idle=True):
        """Lets Maya be idle (runs its queue) until `condition()` holds."""
        deadline = time.time() + timeout
        while not condition():
            if time.time() > deadline:
                self.fail("timed out waiting")
            time.sleep(0.05)
            if idle:
                host.run_idle()

    def start(self, **choices):
        choices.setdefault("outputs", ("mb",))
        choices.setdefault("jobs", 1)
        return velmora.start_batch(self.folder, **choices)

    def state(self, batch_id):
        return next(b["state"] for b in velmora.batches() if b["id"] == batch_id)

    def control(self, kind, label=None):
        return host.ui.find(kind=kind, label=label, window=WINDOW)

    def rows(self):
        """What each row shows, top to bottom."""
        scroll = find(host.ui.tree(WINDOW), "scrollLayout")
        out = []
        for row in scroll["children"][0]["children"]:
            head, bar, counts, buttons = row["children"][:4]
            out.append({
                "folder": head["children"][0]["state"]["label"],
                "state": head["children"][1]["state"]["label"],
                "progress": (bar["state"]["progress"], bar["state"]["maxValue"]),
                "counts": [t["state"]["label"] for t in counts["children"]][:3],
                "enabled": [b["state"]["label"] for b in buttons["children"]
                            if b["state"]["enable"]],
                "buttons": dict((b["state"]["label"], b["name"]) for b in buttons["children"]),
            })
        return out

    def press(self, row, label):
        host.press(self.rows()[row]["buttons"][label])


class RowsTest(BatchesWindowCase):
    def test_rows_follow_batches_and_an_ending_is_announced_once(self):
        self.scenes("a.ma", "b.ma", "c.ma")
        earlier = self.start()
        self.wait(lambda: self.state(earlier) == "finished", idle=False)
        self.costs(open=0.3)
        velmora.show_batches()  # as after reopening Maya: the batch that ran is listed
        (row,) = self.rows()
        self.assertEqual(row["state"], "Finished")
        self.assertEqual(row["counts"], ["3 / 3", "3 converted", "0 failed"])
        self.assertEqual(row["enabled"], ["Forget", "Report", "Folder"])

        later = self.start(outputs=("fbx",))
        seen = set()

        def finished():
            shown = self.rows()
            if len(shown) == 1:
                return False
            seen.add(shown[0]["state"])
            return shown[0]["state"] == "Finished"
        self.wait(finished)
        self.assertIn("Running", seen)
        expected = []
        for batch in velmora.batches():
            self.assertNotIn(batch["state"], ACTIVE)
            expected.append({"folder": batch["folder"], "state": "Finished",
                             "progress": (batch["done"], batch["total"]),
                             "counts": ["%d / %d" % (batch["done"], batch["total"]),
                                        "%d converted" % batch["converted"],
                                        "%d failed" % len(batch["failed"])]})
        self.assertEqual([dict((k, r[k]) for k in expected[0]) for r in self.rows()], expected)
        self.assertEqual([b["id"] for b in velmora.batches()], [later, earlier])
        # the .mb outputs of the earlier batch are sources of the later
        self.assertEqual(host.in_view_messages, [
            {"assistMessage": "velmora: scenes finished: 6 converted, 0 failed",
             "fade": True, "fadeStayTime": 5000}])
        self.assertEqual(host.thread_violations, [])

    def test_a_refresh_edits_only_what_changed(self):
        self.scenes("a.ma")
        batch = self.start()
        self.wait(lambda: self.state(batch) == "finished", idle=False)
        velmora.show_batches()
        self.wait(lambda: len(host.idle_queue) == 1, idle=False)
        since = len(host.journal)
        host.run_idle()
        self.wait(lambda: len(host.idle_queue) == 1, idle=False)
        host.run_idle()
        # nothing changed: each refresh only checks that its window is there
        self.assertEqual([c.command for c in host.journal[since:]], ["columnLayout"] * 2)

        velmora.forget_batch(batch)
        self.wait(lambda: self.rows() == [])
        self.assertEqual(host.ui.control(self.control("text")[-1]).state["label"],
                         "No background batches.")


class ButtonsTest(BatchesWindowCase):
    def test_stop_resume_forget_report_and_folder_act_on_their_own_batch(self):
        self.scenes("a.ma", "b.ma")
        done = self.start()
        self.wait(lambda: self.state(done) == "finished", idle=False)
        self.scenes("c.ma", "d.ma", "e.ma", "f.ma", "g.ma", "h.ma")
        self.costs(open=0.4)
        busy = self.start()
        velmora.show_batches()
        self.wait(lambda: self.rows()[0]["state"] == "Running")
        self.assertEqual(self.rows()[0]["enabled"], ["Stop", "Folder"])

        self.press(0, "Stop")
        self.wait(lambda: self.rows()[0]["state"] == "Stopped")
        self.assertEqual((self.state(busy), self.state(done)), ("interrupted", "finished"))
        self.assertEqual(self.rows()[0]["enabled"], ["Resume", "Forget", "Report", "Folder"])
        stopped = velmora.batches()[0]
        self.assertEqual(host.in_view_messages[-1]["assistMessage"],
                         "velmora: scenes stopped: %d converted, 0 failed, %d left"
                         % (stopped["converted"], len(stopped["pending"])))

        self.press(0, "Resume")
        self.wait(lambda: self.rows()[0]["state"] == "Running")
        self.press(0, "Stop")
        self.wait(lambda: self.rows()[0]["state"] == "Stopped")

        self.press(1, "Report")
        batch = velmora.batches()[1]
        self.assertEqual(batch["id"], done)
        heading, report = (host.ui.control(host.ui.find(kind=k, window="statsWin")[0])
                           for k in ("text", "scrollField"))
        self.assertEqual(heading.state["label"], "Conversion Complete!")
        self.assertEqual(report.state["text"], velmora.batch_report(batch))
        host.file_dialog_answers.append([self.path("report")])
        host.press(host.ui.find(kind="button", label="Save to File", window="statsWin")[0])
        with open(self.path("report.txt")) as f:
            self.assertEqual(f.read(), velmora.batch_report(batch))

        self.press(1, "Folder")
        self.assertEqual(host.launched, [{"directory": self.folder}])

        self.press(1, "Forget")
        self.wait(lambda: len(self.rows()) == 1)
        self.assertEqual([b["id"] for b in velmora.batches()], [busy])
        self.assertEqual(host.confirm_dialogs[:-1], [])  # only the report's "Saved!"
        self.assertEqual(host.thread_violations, [])

    def test_an_action_that_fails_is_told_in_a_dialog(self):
        self.scenes("a.ma")
        gone = self.start()
        self.wait(lambda: self.state(gone) == "finished", idle=False)
        velmora.show_batches()
        velmora.forget_batch(gone)  # by another Maya, before this one's refresh
        self.press(0, "Report")
        self.assertIn("Could not show the report: ", host.confirm_dialogs[-1]["message"])
        self.assertEqual(host.confirm_dialogs[-1]["icon"], "warning")
        self.wait(lambda: self.rows() == [])


class LauncherTest(BatchesWindowCase):
    def fill(self, folder, outputs=("mb",), jobs=0, timeout=0):
        host.ui.set(self.control("textField")[0], text=folder)
        for box, label in zip(self.control("checkBox")[5:8], (".ma", ".mb", ".fbx")):
            self.assertEqual(host.ui.control(box).state["label"], label)
            host.ui.set(box, value=label[1:] in outputs)
        jobs_field, timeout_field = self.control("intField")
        host.ui.set(jobs_field, value=jobs)
        host.ui.set(timeout_field, value=timeout)

    def test_the_launcher_starts_a_batch_of_its_choices(self):
        self.scenes("a.ma", "sub/b.ma")
        velmora.show_batches()
        self.fill(self.folder, outputs=("mb", "fbx"), jobs=2, timeout=90)
        host.ui.set(self.control("checkBox", "Include subdirectories")[0], value=False)
        host.press(self.control("button", "Start in Background")[0])
        self.assertEqual(host.confirm_dialogs, [])
        self.wait(lambda: self.rows() and self.rows()[0]["state"] == "Finished")
        self.assertEqual(sorted(os.listdir(self.folder)), ["a.fbx", "a.ma", "a.mb", "sub"])
        with open(os.path.join(self.path("cache"), "velmora", "background",
                               velmora.batches()[0]["id"], "batch.json")) as f:
            asked = json.load(f)
        self.assertEqual((asked["jobs"], asked["timeout"], asked["choices"]["outputs"]), (2, 90, ["mb", "fbx"]))

    def test_bad_input_is_told_in_the_commands_words_and_starts_nothing(self):
        self.scenes("a.ma")
        scene = os.path.join(self.folder, "a.ma")
        velmora.show_batches()
        start = self.control("button", "Start in Background")[0]
        cases = [(dict(folder=""), "no folder given"),
                 (dict(folder="   "), "no folder given"),
                 (dict(folder=self.path("nowhere")), "folder not found: " + self.path("nowhere")),
                 (dict(folder=scene), "not a folder: " + scene),
                 (dict(folder=self.folder, outputs=()), "no output format chosen"),
                 (dict(folder=self.folder, jobs=-1), "jobs must be a whole number from 1 to 256, not -1"),
                 (dict(folder=self.folder, jobs=1000), "jobs must be a whole number from 1 to 256, not 1000"),
                 (dict(folder=self.folder, timeout=-5), "timeout must be a number of seconds above 0, not -5")]
        for fields, said in cases:
            with self.subTest(**fields):
                self.fill(**fields)
                host.press(start)
                self.assertEqual(host.confirm_dialogs[-1]["message"], "The batch was not started: " + said)
        self.assertEqual(len(host.confirm_dialogs), len(cases))
        self.assertEqual(velmora.batches(), [])
        self.assertEqual(os.listdir(self.folder), ["a.ma"])
        # A path typed with a space after it is the folder.
        self.fill(self.folder + " ")
        host.press(start)
        self.assertEqual(len(host.confirm_dialogs), len(cases))
        self.assertEqual([b["folder"] for b in velmora.batches()], [self.folder])

    def test_start_batch_without_outputs_is_the_same_words(self):
        with self.assertRaises(ValueError) as caught:
            velmora.start_batch(self.folder, outputs=None, mayapy=MAYAPY)
        self.assertEqual(str(caught.exception), "no output format chosen")


class TimerTest(BatchesWindowCase):
    def test_the_timer_queues_one_refresh_at_a_time_and_stops_with_the_window(self):
        velmora.show_batches()
        self.assertEqual(len(timers()), 1)
        time.sleep(1.3)  # Maya busy: not idle for two and a half periods
        self.assertEqual(len(host.idle_queue), 1)
        velmora.show_batches()  # again: the old window goes with its timer
        self.assertEqual(len(timers()), 1)
        for close in (lambda: host.close_window(WINDOW), lambda: velmora.cmds.deleteUI(WINDOW)):
            close()
            host.run_idle()
            self.assertEqual(timers(), [])
            time.sleep(0.7)
            self.assertEqual(host.run_idle(), 0)
            velmora.show_batches()
        self.assertEqual(len(host.script_jobs), 1)
        self.assertEqual(host.thread_violations, [])

    def test_a_closed_window_leaves_none_of_its_callbacks_alive(self):
        def callbacks_alive():
            """Each callback holds a reference to its type."""
            start = self.control("button", "Start in Background")[0]
            return sys.getrefcount(type(host.ui.control(start).state["command"]))
        counts = []
        for _ in range(20):
            velmora.show_batches()
            gc.collect()  # the simulator's deleted controls are cycles (parent, children)
            counts.append(callbacks_alive())
            host.close_window(WINDOW)
            host.run_idle()
            del host.journal[:]  # its calls hold the commands they were given
        self.assertEqual(len(set(counts[1:])), 1, counts)


class RowsInPlaceTest(BatchesWindowCase):
    def deletions(self, since):
        return [c.args for c in host.journal[since:] if c.command == "deleteUI"]

    def test_a_new_batch_adds_a_row_and_a_forgotten_one_removes_one(self):
        self.scenes("a.ma")
        first = self.start()
        self.wait(lambda: self.state(first) == "finished", idle=False)
        velmora.show_batches()
        (before,) = self.rows()
        since = len(host.journal)
        second = self.start()
        self.wait(lambda: len(self.rows()) == 2 and self.rows()[0]["state"] == "Finished")
        self.assertEqual(self.deletions(since), [])
        # the top row's controls, edited to show the new batch; the older
        # batch in a row added below
        self.assertEqual(self.rows()[0]["buttons"], before["buttons"])
        self.press(1, "Forget")   # the older batch, now in the second row
        since = len(host.journal)
        self.wait(lambda: len(self.rows()) == 1)
        self.assertEqual(len(self.deletions(since)), 1)
        self.assertEqual([b["id"] for b in velmora.batches()], [second])
        self.press(0, "Report")   # the row's buttons act on the batch it shows now
        heading = host.ui.control(host.ui.find(kind="text", window="statsWin")[0])
        self.assertEqual(heading.state["label"], "Conversion Complete!")
        self.assertEqual(host.thread_violations, [])

    def test_forget_ended_forgets_every_ended_batch_once_confirmed(self):
        self.scenes("a.ma")
        ended = []
        for _ in range(2):   # one after the other: a batch at work is not started twice
            ended.append(self.start())
            self.wait(lambda: self.state(ended[-1]) == "finished", idle=False)
        self.scenes("b.ma", "c.ma", "d.ma", "e.ma")
        self.costs(open=2)   # still at work when the window looks, however busy the machine
        busy = self.start()
        velmora.show_batches()
        self.wait(lambda: self.rows()[0]["state"] == "Running")
        button = self.control("button", "Forget Ended")[0]
        host.confirm_dialog_answers.append("Cancel")
        host.press(button)
        self.assertEqual(host.confirm_dialogs[-1]["message"],
                         "Forget 2 ended batches? Their outputs and journals stay.")
        self.assertEqual(len(velmora.batches()), 3)
        host.confirm_dialog_answers.append("Forget")
        host.press(button)
        self.assertEqual([b["id"] for b in velmora.batches()], [busy])
        self.wait(lambda: len(self.rows()) == 1)
        self.assertEqual(len(host.confirm_dialogs), 2)   # no failure told
        self.assertEqual(host.thread_violations, [])


class ExitTest(BatchesWindowCase):
    def test_the_interpreter_exits_cleanly_with_the_window_open(self):
        # Objects slow to free keep the interpreter finalising while the
        # timer would wake; each run must still end with status 0.
        script = ("import sys, time; sys.path[:0] = [%r, %r]\n"
                  "import mayasim, velmora\n"
                  "mayasim.reset()\n"
                  "velmora.show_batches()\n"
                  "class Slow:\n"
                  "    def __del__(self):\n"
                  "        time.sleep(0.05)\n"
                  "slow = [Slow() for _ in range(10)]\n"
                  "time.sleep(float(sys.argv[1]))\n" % (SIM, BUILD))
        for run in range(8):
            child = subprocess.run([sys.executable, "-c", script, str(0.1 * run)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual((child.returncode, child.stderr.decode()), (0, ""), "run %d" % run)
