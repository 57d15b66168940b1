"""The headless batch's promises at its seams: sources that compete for an
output name get the window's names whatever the number of workers; a
source is converted only when every chosen output was written; a full
disk, a read-only folder or a name too long fails just the files it hits,
leaves nothing partial or temporary, and the report says so; failed files
stay failed on a plain resume and are converted again when asked."""

import os
import subprocess
import tempfile
import unittest

from headless_support import HeadlessTestCase, files_under, journal_lines, velmora

STEMS = ["p%02d" % i for i in range(8)]


def outputs_by_source(journal):
    """Each source's outputs, by its relative path, from the journal."""
    lines = journal_lines(journal)
    sources = lines[0]["sources"]
    return {sources[r["source"]]: sorted(r["outputs"]) for r in lines[1:] if "source" in r}


class CompetingSources(HeadlessTestCase):
    def test_competing_sources_get_the_window_names_with_any_number_of_workers(self):
        # The window's order: p00.fbx (its own format, skipped), p00.ma,
        # p00.mb, p00_001.ma; the first claims p00.fbx, then _001, then
        # p00_001.ma finds p00_001.fbx taken.
        names = [s + ext for s in STEMS for ext in (".ma", ".mb", "_001.ma")]
        expected = {}
        for s in STEMS:
            expected[s + ".ma"] = [s + ".fbx"]
            expected[s + ".mb"] = [s + "_001.fbx"]
            expected[s + "_001.ma"] = [s + "_001_001.fbx"]
        self.costs(open=0.01)
        for jobs in (1, 2, 4, 8):
            with self.subTest(jobs=jobs):
                for f in os.listdir(self.folder):
                    os.remove(os.path.join(self.folder, f))
                # Later ones bigger: the biggest first would reverse them.
                for n, name in enumerate(names):
                    self.scenes(name, pad=n * 4096)
                results = self.batch(outputs=("fbx",), jobs=jobs)
                self.assertEqual((results["converted"], results["failed"]), (len(names), []))
                self.assertEqual(outputs_by_source(self.journal), expected)
                # Results list sources in the window's order, as the journal does.
                self.assertEqual(results["outputs"],
                                 [os.path.join(self.folder, expected[n][0]) for n in sorted(names)])


    def test_numbered_shots_do_not_compete_and_run_side_by_side(self):
        # shot_010 and shot_020 make no name of each other's; only a
        # shot.ma would link them (its fallbacks are shot_001 ...).
        self.scenes(*["shot_%03d.ma" % (10 * i) for i in range(1, 9)])
        self.costs(open=0.2)
        in_hand, most = set(), [0]

        def on_event(event):
            if event.get("state") == "busy":
                in_hand.add(event["worker"])
                most[0] = max(most[0], len(in_hand))
            elif event["event"] == "file":
                in_hand.discard(event["worker"])
        results = self.batch(outputs=("mb",), jobs=4, progress=on_event)
        self.assertEqual(results["converted"], 8)
        self.assertGreater(most[0], 1)


class BigScenesFirst(HeadlessTestCase):
    def test_the_biggest_go_first_and_results_keep_the_window_order(self):
        small = ["s%02d.ma" % i for i in range(8)]
        for name in small:
            self.scenes(name)
        self.scenes("z1.ma", pad=3 << 20)
        self.scenes("z2.mb", pad=2 << 20)
        started = []
        results = self.batch(outputs=("ma", "mb"), jobs=2, progress=lambda e: started.append(
            os.path.basename(e["detail"])) if e.get("state") == "busy" else None)
        self.assertEqual(started[:2], ["z1.ma", "z2.mb"])
        self.assertEqual(sorted(started), sorted(small + ["z1.ma", "z2.mb"]))
        names = small + ["z1.ma", "z2.mb"]
        written = [n[:-3] + (".mb" if n.endswith(".ma") else ".ma") for n in names]
        self.assertEqual(results["outputs"], [os.path.join(self.folder, n) for n in written])
        records = [r for r in journal_lines(self.journal) if "source" in r]
        self.assertEqual(sorted(r["source"] for r in records), list(range(len(names))))


class MemoryForBigScenes(HeadlessTestCase):
    def test_more_workers_than_memory_holds_are_obeyed_with_a_warning(self):
        # Sparse files: big to the batch's estimate, nothing on the disk.
        for i in range(64):
            with open(os.path.join(self.folder, "huge%02d.ma" % i), "wb") as f:
                f.truncate(4 << 30)
        events = []
        with self.assertRaises(RuntimeError):   # the stand-in mayapy never starts
            self.batch(outputs=("mb",), jobs=64, mayapy="/bin/false", progress=events.append)
        warnings = [e["message"] for e in events if e["event"] == "warning"]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertRegex(warnings[0], r"^64 workers may need more memory than the [0-9.]+ GiB free "
                                      r"for the biggest scenes \(about [0-9]+ at a time fit\)")
        starting = [e for e in events if e["event"] == "worker" and e["state"] == "starting"]
        self.assertGreater(len(starting), 1)   # the user's choice is obeyed


def mount_tmpfs(test, where=None, **options):
    """A small tmpfs of the test's own (at `where`, or in a new folder),
    unmounted at its end."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        raise unittest.SkipTest("mounting a tmpfs needs root")
    if where is None:
        where = tempfile.mkdtemp(prefix="velmora-tmpfs-")
    else:
        os.makedirs(where)
    opts = ",".join("%s=%s" % kv for kv in sorted(options.items()))
    if subprocess.call(["mount", "-t", "tmpfs", "-o", opts, "tmpfs", where],
                       stderr=subprocess.DEVNULL) != 0:
        os.rmdir(where)
        raise unittest.SkipTest("cannot mount a tmpfs here")

    def unmount():
        subprocess.call(["umount", "-l", where])
        os.rmdir(where)
    test.addCleanup(unmount)
    return where


def fill(folder, leave_inodes=None):
    """Fills a file system: every byte, or every inode but `leave_inodes`."""
    made = []
    if leave_inodes is not None:
        try:
            while True:
                path = os.path.join(folder, ".filler-%d" % len(made))
                open(path, "wb").close()
                made.append(path)
        except OSError:
            pass
        for path in made[len(made) - leave_inodes:]:
            os.remove(path)
        return made[:len(made) - leave_inodes]
    path = os.path.join(folder, ".filler")
    with open(path, "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * 65536)
        except OSError:
            pass
        try:
            while True:
                f.write(b"\0")
        except OSError:
            pass
    return [path]


class FailedOutputs(HeadlessTestCase):
    def assertNothingLeft(self, folder, expected):
        self.assertEqual([f for f in files_under(folder) if not f.startswith(".filler")], sorted(expected))

    def test_an_output_that_cannot_be_published_fails_its_source(self):
        # x.mb fits in a file name, x.fbx does not.
        long = "x" * 252
        self.scenes("a.ma", long + ".ma")
        results = self.batch(outputs=("mb", "fbx"))
        self.assertEqual(results["converted"], 1)
        (source, reason), = results["failed"]
        self.assertEqual(source, os.path.join(self.folder, long + ".ma"))
        self.assertTrue(reason.startswith("could not publish %s.fbx: " % long), reason)
        self.assertIn("too long", reason)
        # What was written is kept and named; nothing temporary is left.
        self.assertIn(os.path.join(self.folder, long + ".mb"), results["outputs"])
        self.assertNothingLeft(self.folder, ["a.ma", "a.mb", "a.fbx", long + ".ma", long + ".mb"])
        self.assertNotIn("Success", velmora.batch_report(results).splitlines()[-1:])
        # Failed is final on a plain resume: nothing is written again.
        again = self.batch(outputs=("mb", "fbx"), resume=True)
        self.assertEqual((again["converted"], len(again["failed"])), (1, 1))
        self.assertNothingLeft(self.folder, ["a.ma", "a.mb", "a.fbx", long + ".ma", long + ".mb"])
        # A retry makes only what the source lacks: the .fbx fails again,
        # the .mb it has is not written a second time.
        again = self.batch(outputs=("mb", "fbx"), resume=True, retry_failed=True)
        self.assertEqual(again["failed"], [(source, again["failed"][0][1])])
        self.assertTrue(again["failed"][0][1].startswith("could not publish %s.fbx: " % long))
        self.assertIn(os.path.join(self.folder, long + ".mb"), again["outputs"])
        self.assertNothingLeft(self.folder, ["a.ma", "a.mb", "a.fbx", long + ".ma", long + ".mb"])

    def test_a_full_disk_fails_the_files_it_hits_and_a_retry_finishes_them(self):
        folder = mount_tmpfs(self, size="2m")
        self.folder = os.path.join(folder, "scenes")
        os.makedirs(self.folder)
        self.scenes("a.ma", "b.ma")
        fillers = fill(folder)
        results = self.batch(outputs=("mb", "fbx"))
        self.assertEqual(results["converted"], 0)
        for source, reason in results["failed"]:
            self.assertRegex(reason, r"^could not write [ab]\.mb: .*No space left on device")
        self.assertEqual(results["outputs"], [])
        self.assertNothingLeft(self.folder, ["a.ma", "b.ma"])
        for f in fillers:
            os.remove(f)
        # Room made: failed files are final on a plain resume ...
        again = self.batch(outputs=("mb", "fbx"), resume=True)
        self.assertEqual((again["converted"], len(again["failed"])), (0, 2))
        self.assertNothingLeft(self.folder, ["a.ma", "b.ma"])
        # ... and converted when asked.
        again = self.batch(outputs=("mb", "fbx"), resume=True, retry_failed=True)
        self.assertEqual((again["converted"], again["failed"]), (2, []))
        self.assertNothingLeft(self.folder, ["a.ma", "b.ma", "a.mb", "a.fbx", "b.mb", "b.fbx"])

    def test_no_inode_left_fails_the_file_and_a_retry_finishes_it(self):
        # tmpfs counts links as inodes: with one left, the .mb is written
        # aside, and then either the .fbx or the publishing finds no room.
        folder = mount_tmpfs(self, size="4m", nr_inodes="64")
        self.folder = os.path.join(folder, "scenes")
        os.makedirs(self.folder)
        self.scenes("a.ma")
        fillers = fill(folder, leave_inodes=1)
        results = self.batch(outputs=("mb", "fbx"), jobs=1)
        (source, reason), = results["failed"]
        self.assertRegex(reason, r"^could not (write|publish) a\.(mb|fbx): .*No space left on device")
        self.assertNothingLeft(self.folder, ["a.ma"] + [os.path.basename(p) for p in results["outputs"]])
        for f in fillers:
            os.remove(f)
        again = self.batch(outputs=("mb", "fbx"), jobs=1, resume=True, retry_failed=True)
        self.assertEqual((again["converted"], again["failed"]), (1, []))
        self.assertNothingLeft(self.folder, ["a.ma", "a.mb", "a.fbx"])

    def test_a_read_only_folder_fails_only_its_own_sources(self):
        self.scenes("a.ma")
        locked = mount_tmpfs(self, where=os.path.join(self.folder, "locked"), size="1m")
        self.scenes("locked/b.ma")
        subprocess.check_call(["mount", "-o", "remount,ro", locked])
        results = self.batch(outputs=("mb",))
        self.assertEqual(results["converted"], 1)
        (source, reason), = results["failed"]
        self.assertEqual(source, os.path.join(locked, "b.ma"))
        self.assertRegex(reason, r"^could not write b\.mb: .*Read-only file system")
        self.assertEqual(files_under(self.folder), ["a.ma", "a.mb", "locked/b.ma"])

    def test_the_command_reports_a_failed_output_and_exits_1(self):
        long = "y" * 252
        self.scenes(long + ".ma")
        process = self.command("--outputs", "mb,fbx")
        out, err = process.communicate()
        self.assertEqual(process.returncode, 1, err)
        self.assertIn(b"could not publish", out)
        self.assertNotIn(b"Traceback", err)


if __name__ == "__main__":
    unittest.main()
