"""Background batches from a caller's point of view: started at once in a
controller of their own that outlives the caller, watched from any
process through their files, stopped and resumed with each output
written once, and refused before anything starts when the arguments are
bad."""

import os
import signal
import subprocess
import sys
import time
import unittest
from unittest import mock

from headless_support import MAYAPY, HeadlessTestCase, files_under, velmora
from support import BUILD, SIM

NAMES = ["shot%02d.ma" % i for i in range(8)]
OUTPUTS = sorted(n[:-3] + ".mb" for n in NAMES)
LIST = ("import json, sys; sys.path[:0] = [%r, %r]; import velmora; "
        "print(json.dumps(velmora.batches()))" % (SIM, BUILD))


class BackgroundTestCase(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.setenv("XDG_CACHE_HOME", self.path("cache"))
        self.addCleanup(self.stop_all)

    def stop_all(self):
        """No controller outlives its test."""
        for b in velmora.batches():
            if b["state"] in ("starting", "running", "stopping"):
                velmora.stop_batch(b["id"])
        for b in velmora.batches():
            self.wait_for(b["id"], ("finished", "interrupted"), timeout=30)

    def start(self, folder=None, **kw):
        kw.setdefault("mayapy", MAYAPY)
        kw.setdefault("outputs", ("mb",))
        kw.setdefault("jobs", 2)
        return velmora.start_batch(folder or self.folder, **kw)

    def find(self, batch_id):
        return next(b for b in velmora.batches() if b["id"] == batch_id)

    def wait_for(self, batch_id, states, timeout=60, done=None):
        deadline = time.time() + timeout
        while True:
            b = self.find(batch_id)
            if b["state"] in states and (done is None or b["done"] >= done):
                return b
            if time.time() > deadline:
                self.fail("batch %s stayed %s (done %d)" % (batch_id, b["state"], b["done"]))
            time.sleep(0.05)


class Lifecycle(BackgroundTestCase):
    def test_it_runs_on_while_the_caller_goes_on_and_ends_with_its_report(self):
        self.scenes(*NAMES)
        self.costs(open=0.2)
        batch_id = self.start()
        # Returned while the batch has barely begun: nothing waits for it.
        first = self.find(batch_id)
        self.assertIn(first["state"], ("starting", "running"))
        self.assertLess(first["done"], len(NAMES))
        self.assertEqual((first["folder"], first["ended"]), (self.folder, None))
        running = self.wait_for(batch_id, ("running",), done=1)
        self.assertEqual(running["total"], len(NAMES))
        self.assertTrue(0 < running["done"] < len(NAMES), running["done"])
        end = self.wait_for(batch_id, ("finished",))
        self.assertEqual((end["converted"], end["failed"], end["pending"], end["error"]),
                         (len(NAMES), [], [], None))
        self.assertIsNotNone(end["ended"])
        self.assertIsNone(end["eta"])
        self.assertIn("Total: 8\nSuccess: 8\nFailed: 0", velmora.batch_report(end))
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))

    def test_start_pressed_twice_starts_one_batch(self):
        self.scenes(*NAMES)
        self.costs(open=0.2)
        first = self.start()
        second = self.start(jobs=1)   # the workers are not what the batch writes
        self.assertEqual(second, first)
        other = self.start(outputs=("fbx",))
        self.assertNotEqual(other, first)
        for batch_id in (first, other):
            end = self.wait_for(batch_id, ("finished",))
            self.assertEqual((end["converted"], end["failed"]), (len(NAMES), []))
        self.assertEqual(sorted(b["id"] for b in velmora.batches()), sorted([first, other]))
        self.assertEqual(len([f for f in files_under(self.folder) if f.endswith(".mb")]), len(NAMES))

    def test_stopped_then_resumed_writes_each_output_once(self):
        self.scenes(*NAMES)
        self.costs(open=0.3)
        batch_id = self.start(jobs=1)
        self.wait_for(batch_id, ("running",), done=1)
        velmora.stop_batch(batch_id)
        stopped = self.wait_for(batch_id, ("interrupted",))
        self.assertTrue(0 < stopped["done"] < len(NAMES), stopped["done"])
        velmora.stop_batch(batch_id)   # ended: nothing happens
        self.assertEqual(self.find(batch_id)["state"], "interrupted")
        velmora.resume_batch(batch_id)
        end = self.wait_for(batch_id, ("finished",))
        self.assertEqual((end["total"], end["converted"], end["failed"]), (len(NAMES), len(NAMES), []))
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))  # no _001, no temp

    def test_resumed_while_the_stopped_controller_still_exits(self):
        self.scenes(*NAMES[:3])
        self.costs(open=0.3)
        batch_id = self.start(jobs=1)
        self.wait_for(batch_id, ("running",), done=1)
        velmora.stop_batch(batch_id)
        self.wait_for(batch_id, ("interrupted",))
        # Its last word said, a controller holds the lock until it exits:
        # a process of the test stands in for one that takes its time.
        lock = os.path.join(self.path("cache"), "velmora", "background", batch_id, "controller.lock")
        holder = subprocess.Popen([sys.executable, "-c",
                                   "import fcntl, sys, time; f = open(sys.argv[1], 'a'); "
                                   "fcntl.lockf(f, fcntl.LOCK_EX); print('held', flush=True); time.sleep(1.5)",
                                   lock], stdout=subprocess.PIPE)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdout.close)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        velmora.resume_batch(batch_id)
        end = self.wait_for(batch_id, ("finished",))
        self.assertEqual((end["converted"], end["failed"]), (3, []))

    def test_two_batches_at_once_and_the_list_newest_first(self):
        other = self.path("other")
        os.makedirs(other)
        self.scenes(*NAMES[:4])
        for name in NAMES[4:]:
            import mayasim
            mayasim.write_scene(os.path.join(other, name))
        self.costs(open=0.1)
        first = self.start()
        time.sleep(1.1)   # ids and start times a second apart
        second = self.start(other)
        self.assertEqual([b["id"] for b in velmora.batches()][:2], [second, first])
        for batch_id, folder, names in ((first, self.folder, NAMES[:4]), (second, other, NAMES[4:])):
            end = self.wait_for(batch_id, ("finished",))
            self.assertEqual((end["folder"], end["converted"]), (folder, 4))
            self.assertEqual(files_under(folder), sorted(names + [n[:-3] + ".mb" for n in names]))

    def test_two_starts_drawing_the_same_id_get_their_own(self):
        self.scenes(*NAMES[:2])
        draws = iter([b"\x25\xa9", b"\x25\xa9", b"\x25\xa9", b"\x00\x01"])
        real_urandom = os.urandom
        with mock.patch.object(time, "strftime", lambda fmt, *t: "20261208-195054"), \
                mock.patch.object(os, "urandom", lambda n: next(draws) if n == 2 else real_urandom(n)):
            first = self.start()
            second = self.start(outputs=("fbx",))
        self.assertEqual((first, second), ("20261208-195054-25a9", "20261208-195054-0001"))
        for batch_id in (first, second):
            self.assertEqual(self.wait_for(batch_id, ("finished",))["converted"], 2)

    def test_forget_and_unknown_ids(self):
        self.scenes(*NAMES[:2])
        self.costs(open=0.5)
        batch_id = self.start(jobs=1)
        with self.assertRaises(ValueError):
            velmora.forget_batch(batch_id)   # still running
        self.wait_for(batch_id, ("finished",))
        velmora.forget_batch(batch_id)
        self.assertNotIn(batch_id, [b["id"] for b in velmora.batches()])
        self.assertEqual(files_under(self.folder), sorted(NAMES[:2] + OUTPUTS[:2]))  # outputs stay
        for call in (velmora.stop_batch, velmora.resume_batch, velmora.forget_batch):
            for unknown in (batch_id, "nope", "../cache", "", 7):
                with self.assertRaises(KeyError):
                    call(unknown)


class OutlivesTheCaller(BackgroundTestCase):
    def test_the_callers_whole_process_group_killed_the_batch_goes_on(self):
        self.scenes(*NAMES)
        self.costs(open=0.2)
        script = ("import sys, time; sys.path[:0] = [%r, %r]; import velmora\n"
                  "print(velmora.start_batch(sys.argv[1], outputs=('mb',), jobs=2, mayapy=sys.argv[2]),"
                  " flush=True)\n"
                  "time.sleep(600)\n" % (SIM, BUILD))
        caller = subprocess.Popen([sys.executable, "-c", script, self.folder, MAYAPY],
                                  stdout=subprocess.PIPE, start_new_session=True)
        batch_id = caller.stdout.readline().decode().strip()
        self.wait_for(batch_id, ("running",), done=1)
        os.killpg(caller.pid, signal.SIGKILL)
        caller.wait()
        caller.stdout.close()
        # Seen from another process while it runs, then to its end.
        seen = subprocess.run([sys.executable, "-c", LIST], stdout=subprocess.PIPE, check=True)
        import json
        listed = {b["id"]: b for b in json.loads(seen.stdout.decode())}
        self.assertIn(listed[batch_id]["state"], ("running", "finished"))
        end = self.wait_for(batch_id, ("finished",))
        self.assertEqual((end["converted"], end["failed"]), (len(NAMES), []))
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))

    def test_a_killed_controller_is_interrupted_and_resumes(self):
        self.scenes(*NAMES)
        self.costs(open=0.3)
        batch_id = self.start(jobs=1)
        self.wait_for(batch_id, ("running",), done=1)
        status = os.path.join(self.path("cache"), "velmora", "background", batch_id, "status.json")
        import json
        with open(status) as f:
            os.kill(json.load(f)["pid"], signal.SIGKILL)
        stopped = self.wait_for(batch_id, ("interrupted",), timeout=20)
        self.assertLess(stopped["done"], len(NAMES))
        velmora.resume_batch(batch_id)
        end = self.wait_for(batch_id, ("finished",))
        self.assertEqual((end["converted"], end["failed"]), (len(NAMES), []))
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))


class BadArguments(BackgroundTestCase):
    def test_bad_arguments_raise_before_anything_starts(self):
        self.scenes("a.ma")
        for kw in ({"folder": self.path("missing")}, {"outputs": ("obj",)}, {"preset": "Fast"},
                   {"jobs": 0}, {"timeout": -1}, {"mayapy": self.path("no-mayapy")}):
            with self.subTest(**{k: str(v) for k, v in kw.items()}):
                with self.assertRaises(ValueError):
                    self.start(kw.pop("folder", None), **kw)
        self.assertEqual(velmora.batches(), [])
        self.assertEqual(files_under(self.folder), ["a.ma"])


def registry(cache):
    return os.path.join(cache, "velmora", "background")


class Records(BackgroundTestCase):
    """Batch records from other velmoras, and batches that could not run."""

    def finished_batch(self):
        self.scenes("a.ma", "b.ma")
        batch_id = self.start(jobs=1)
        self.wait_for(batch_id, ("finished",))
        folder = os.path.join(registry(self.path("cache")), batch_id)
        # Its summary follows its last word: the controller is done then.
        deadline = time.time() + 30
        while not os.path.exists(os.path.join(folder, "summary.json")):
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)
        return batch_id, folder

    def copy_with(self, folder, new_id, change):
        import json
        import shutil
        copy = os.path.join(os.path.dirname(folder), new_id)
        shutil.copytree(folder, copy)
        os.remove(os.path.join(copy, "summary.json"))
        with open(os.path.join(copy, "batch.json")) as f:
            record = json.load(f)
        record["id"] = new_id
        change(record)
        with open(os.path.join(copy, "batch.json"), "w") as f:
            json.dump(record, f)

    def test_older_and_newer_records_are_listed_beside_the_others(self):
        import json
        batch_id, folder = self.finished_batch()
        whole = self.find(batch_id)

        def older(record):
            for key in ("id", "started", "jobs", "timeout", "journal", "resume", "retry_failed", "version"):
                del record[key]
        self.copy_with(folder, "older", older)
        self.copy_with(folder, "no-folder", lambda r: r.pop("folder"))
        self.copy_with(folder, "newer", lambda r: r.update(version=2, journal=7))
        listed = {b["id"]: b for b in velmora.batches()}
        self.assertEqual(sorted(listed), sorted([batch_id, "older", "no-folder", "newer"]))
        self.assertEqual(listed[batch_id], whole)
        # older: the batch's own journal, its record's time as its start
        self.assertEqual((listed["older"]["state"], listed["older"]["error"], listed["older"]["converted"]),
                         ("finished", None, 2))
        self.assertEqual(listed["older"]["journal"], os.path.join(registry(self.path("cache")), "older",
                                                                  "batch.journal"))
        self.assertIsInstance(listed["older"]["started"], float)
        self.assertEqual((listed["no-folder"]["state"], listed["no-folder"]["folder"]), ("interrupted", None))
        self.assertIn('lacks "folder"', listed["no-folder"]["error"])
        self.assertEqual(listed["newer"]["state"], "interrupted")
        self.assertIn("made by a newer velmora", listed["newer"]["error"])
        self.assertNotIn("\n", listed["newer"]["error"])
        self.assertEqual((listed["newer"]["converted"], listed["newer"]["outputs"]), (0, []))
        with self.assertRaisesRegex(ValueError, "made by a newer velmora"):
            velmora.resume_batch("newer")
        with open(os.path.join(registry(self.path("cache")), "newer", "batch.json")) as f:
            self.assertEqual(json.load(f)["version"], 2)   # not rewritten
        with self.assertRaisesRegex(ValueError, 'lacks "folder"'):
            velmora.resume_batch("no-folder")

    def test_a_controller_that_fails_leaves_the_reason_in_its_status(self):
        batch_id, folder = self.finished_batch()
        lock = os.path.join(folder, "controller.lock")
        os.remove(lock)
        os.mkdir(lock)   # the controller cannot lock its batch
        velmora.resume_batch(batch_id)
        ended = self.wait_for(batch_id, ("interrupted",), timeout=30)
        self.assertIn("Is a directory", ended["error"])
        self.assertIn("controller.lock", ended["error"])
        self.assertNotIn("\n", ended["error"])

    def test_a_controller_that_cannot_write_in_its_folder_is_an_error_with_the_reason(self):
        self.scenes("a.ma")
        go = self.path("go")
        wrapper = self.path("mayapy")
        with open(wrapper, "w") as f:
            f.write('#!/bin/sh\nwhile [ ! -e "%s" ]; do sleep 0.05; done\nexec "%s" "$@"\n' % (go, MAYAPY))
        os.chmod(wrapper, 0o755)
        batch_id = self.start(mayapy=wrapper)
        folder = os.path.join(registry(self.path("cache")), batch_id)
        # read-only for root too: the folder mounted read-only over itself
        if subprocess.call(["mount", "--bind", folder, folder], stderr=subprocess.DEVNULL) != 0:
            self.skipTest("cannot mount here")
        self.addCleanup(subprocess.call, ["umount", folder])
        subprocess.check_call(["mount", "-o", "remount,bind,ro", folder])
        open(go, "w").close()
        ended = self.wait_for(batch_id, ("interrupted",), timeout=30)
        self.assertIn("Read-only file system", ended["error"])
        self.assertTrue(ended["error"].startswith("the controller could not start: "), ended["error"])
        self.assertNotIn("\n", ended["error"])


class StopThenResume(BackgroundTestCase):
    def test_a_resume_right_after_a_stop_is_not_lost(self):
        self.costs(open=0.3)
        for gap in (0, 0.3, 1):
            with self.subTest(gap=gap):
                folder = self.path("scenes%s" % gap)
                os.makedirs(folder)
                import mayasim
                for name in NAMES[:5]:
                    mayasim.write_scene(os.path.join(folder, name))
                batch_id = self.start(folder, jobs=1)
                self.wait_for(batch_id, ("running",), done=1)
                velmora.stop_batch(batch_id)
                time.sleep(gap)
                velmora.resume_batch(batch_id)
                end = self.wait_for(batch_id, ("finished",), timeout=60)
                self.assertEqual((end["converted"], end["failed"], end["pending"]), (5, [], []))
                self.assertEqual(files_under(folder), sorted(NAMES[:5] + OUTPUTS[:5]))


class UnusableCache(BackgroundTestCase):
    def assertOneLine(self, error, *parts):
        self.assertNotIn("\n", str(error))
        for part in parts:
            self.assertIn(part, str(error))

    def test_a_cache_under_a_file_is_one_line(self):
        self.scenes("a.ma")
        blocker = self.path("file")
        open(blocker, "w").close()
        self.setenv("XDG_CACHE_HOME", blocker)
        with self.assertRaises(OSError) as raised:
            self.start()
        self.assertOneLine(raised.exception, os.path.join(blocker, "velmora", "background"), "Not a directory")
        self.assertEqual(velmora.batches(), [])
        with self.assertRaises(KeyError):
            velmora.stop_batch("20261208-093001-5f3a")

    def test_a_read_only_cache_is_one_line(self):
        self.scenes("a.ma")
        cache = self.path("ro")
        os.makedirs(cache)
        if subprocess.call(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "none", cache],
                           stderr=subprocess.DEVNULL) != 0:
            self.skipTest("cannot mount here")
        self.addCleanup(subprocess.call, ["umount", cache])
        self.setenv("XDG_CACHE_HOME", cache)
        with self.assertRaises(OSError) as raised:
            self.start()
        self.assertOneLine(raised.exception, os.path.join(cache, "velmora", "background"),
                           "Read-only file system")
        self.assertEqual(velmora.batches(), [])
        self.assertEqual(files_under(self.folder), ["a.ma"])


class Listing(BackgroundTestCase):
    @unittest.skipIf(sys.version_info < (3, 8), "audit hooks are 3.8 and later")
    def test_an_ended_batch_is_listed_without_reading_its_journal(self):
        self.scenes(*NAMES[:3])
        batch_id = self.start(jobs=1)
        end = self.wait_for(batch_id, ("finished",))
        script = ("import json, sys; sys.path[:0] = [%r, %r]; import velmora\n"
                  "opened = []\n"
                  "sys.addaudithook(lambda e, a: opened.append(str(a[0])) if e == 'open' else None)\n"
                  "first = velmora.batches(); again = velmora.batches()\n"
                  "print(json.dumps([first == again, [o for o in opened if o.endswith('.journal')],"
                  " first[0]['converted'], first[0]['outputs'], first[0]['failed']]))" % (SIM, BUILD))
        out = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, check=True)
        import json
        same, journals, converted, outputs, failed = json.loads(out.stdout.decode())
        self.assertEqual((same, journals), (True, []))
        self.assertEqual((converted, outputs, failed), (end["converted"], end["outputs"], end["failed"]))

    def test_the_lists_returned_are_the_callers_own(self):
        self.scenes(*NAMES[:2])
        batch_id = self.start(jobs=1)
        first = self.wait_for(batch_id, ("finished",))
        kept = (list(first["outputs"]), first["converted"])
        first["outputs"].clear()
        first["converted"] = 99
        again = self.find(batch_id)
        self.assertEqual((again["outputs"], again["converted"]), kept)
