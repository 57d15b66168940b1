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
