"""Shares that refuse hard links: an exFAT file system (through FUSE on a
loop device), where neither a link nor a rename that refuses to replace
works, so that outputs are published by claiming their names; and a tmpfs
seen through a system-call filter that refuses links (and, for the lock,
record locks), where the no-replace rename publishes."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import unittest

from headless_support import MAYAPY, HeadlessTestCase, files_under, velmora
from support import BUILD, SIM
import refusing

DEAD_BATCH = "0123456789abcdef"


def run_quietly(*argv):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


class ShareTestCase(HeadlessTestCase):
    def mount(self, kind):
        """A fresh file system of `kind` ("exfat" or "tmpfs") at a folder of
        the test's; skips where this machine cannot make one."""
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        where = self.path("mnt-" + kind)
        os.makedirs(where)
        if kind == "tmpfs":
            done = run_quietly("mount", "-t", "tmpfs", "-o", "size=32m", "tmpfs", where)
            if done.returncode != 0:
                self.skipTest("no tmpfs here: " + done.stdout)
            self.addCleanup(run_quietly, "umount", where)
            return where
        for tool in ("losetup", "mkfs.exfat", "mount.exfat-fuse"):
            if shutil.which(tool) is None:
                self.skipTest("%s is not installed (exfatprogs, exfat-fuse)" % tool)
        image = self.path("exfat.img")
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        if run_quietly("mkfs.exfat", image).returncode != 0:
            self.skipTest("mkfs.exfat failed")
        device = run_quietly("losetup", "-f", "--show", image)
        if device.returncode != 0:
            self.skipTest("no loop device here: " + device.stdout)
        device = device.stdout.strip()
        self.addCleanup(run_quietly, "losetup", "-d", device)
        mounted = run_quietly("mount.exfat-fuse", device, where)
        if mounted.returncode != 0:
            self.skipTest("FUSE refused: " + mounted.stdout)
        self.addCleanup(run_quietly, "umount", where)
        return where

    def use_folder(self, folder):
        self.folder = os.path.join(folder, "scenes")
        os.makedirs(self.folder)


class ExfatShareTest(ShareTestCase):
    def setUp(self):
        super().setUp()
        self.share = self.mount("exfat")
        probe = os.path.join(self.share, "probe")
        open(probe, "w").close()
        try:
            os.link(probe, probe + "2")
            self.skipTest("this exFAT takes hard links")
        except PermissionError:
            pass
        self.use_folder(self.share)

    def test_every_output_is_published_by_claiming_its_name(self):
        self.scenes("a.ma", "a.mb", "sub/b.ma")
        results = self.batch(outputs=("mb", "fbx"))
        self.assertEqual((results["converted"], results["failed"]), (3, []), results)
        written = sorted(os.path.relpath(p, self.folder) for p in results["outputs"])
        self.assertEqual(written, ["a.fbx", "a_001.fbx", "a_001.mb", "sub/b.fbx", "sub/b.mb"])
        self.assertTrue(all(os.path.getsize(p) > 0 for p in results["outputs"]))
        self.assertNoTemporaryFiles()
        # A second batch finds every name taken, by files, not claims.
        again = self.batch(sources=("ma",), outputs=("fbx",), skip_existing=True, dry_run=True)
        self.assertEqual(sorted(os.path.relpath(p, self.folder) for p in again["skipped"]),
                         ["a.fbx", "sub/b.fbx"])

    def dead_claim(self, name):
        """What a batch killed between claiming `name` and renaming onto it
        leaves: the empty claim and its marker beside the temporary file."""
        claim = os.path.join(self.folder, name)
        with open(claim, "x"):
            pass
        st = os.stat(claim)
        marker = os.path.join(self.folder, ".velmora-%s.0%s.claim" % (DEAD_BATCH, os.path.splitext(name)[1]))
        with open(marker, "w") as f:
            json.dump({"claim": name, "identity": [st.st_dev, st.st_ino]}, f)
        return claim, marker

    def test_a_dead_batchs_claim_is_no_output_and_goes_with_its_marker(self):
        self.scenes("a.ma", "b.ma")
        claim, marker = self.dead_claim("a.fbx")
        with open(os.path.join(self.folder, "b.fbx"), "w") as f:
            f.write("an output\n")
        planned = self.batch(outputs=("fbx",), skip_existing=True, dry_run=True)
        self.assertEqual(planned["outputs"], [claim])
        self.assertEqual(planned["skipped"], [os.path.join(self.folder, "b.fbx")])
        run = self.batch(outputs=("fbx",), skip_existing=True)
        self.assertEqual(run["outputs"], [claim], run)
        self.assertGreater(os.path.getsize(claim), 0)
        self.assertFalse(os.path.exists(marker))
        self.assertNoTemporaryFiles()

    def test_clean_removes_an_empty_claim_but_not_a_file_written_over_it(self):
        claim, marker = self.dead_claim("a.fbx")
        kept, kept_marker = self.dead_claim("b.mb")
        os.remove(kept)
        with open(kept, "w") as f:  # published meanwhile: another file
            f.write("an output\n")
        os.rename(kept_marker, kept_marker.replace(".0.", ".1."))
        code = velmora.batch_main(["clean", self.folder])
        self.assertEqual(code, 0)
        self.assertEqual(files_under(self.folder), ["b.mb"])


BATCH_CHILD = textwrap.dedent("""
    import json, sys
    sys.path[:0] = [%(sim)r, %(build)r]
    import velmora
    try:
        print(json.dumps(velmora.batch(**json.loads(sys.argv[1]))))
    except Exception as error:
        print(json.dumps({"error": "%%s: %%s" %% (type(error).__name__, error)}))
""") % {"sim": SIM, "build": BUILD}


class LinksRefusedTest(ShareTestCase):
    def setUp(self):
        super().setUp()
        self.use_folder(self.mount("tmpfs"))

    def filtered_batch(self, refused, **kw):
        if not refusing.available(refused):
            self.skipTest("no seccomp filter here to refuse %s" % refused)
        kw.setdefault("mayapy", MAYAPY)
        kw.setdefault("journal", self.journal)
        kw.setdefault("jobs", 2)
        kw["folder"] = self.folder
        argv = refusing.command(refused, [sys.executable, "-c", BATCH_CHILD, json.dumps(kw)])
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return json.loads(proc.stdout.splitlines()[-1])

    def test_outputs_are_published_by_a_rename_that_refuses_to_replace(self):
        self.scenes("a.ma", "a.mb")
        with open(os.path.join(self.folder, "a.fbx"), "w") as f:
            f.write("there before\n")
        results = self.filtered_batch("links", sources=("ma", "mb"), outputs=("fbx",))
        self.assertEqual((results.get("converted"), results.get("failed")), (2, []), results)
        self.assertEqual(sorted(os.path.basename(p) for p in results["outputs"]),
                         ["a_001.fbx", "a_002.fbx"])
        with open(os.path.join(self.folder, "a.fbx")) as f:
            self.assertEqual(f.read(), "there before\n")
        self.assertNoTemporaryFiles()

    def test_a_lock_refused_by_the_file_system_leaves_no_lock_file(self):
        self.scenes("a.ma")
        results = self.filtered_batch("locks", outputs=("fbx",))
        self.assertIn("error", results)
        self.assertIn("lock", results["error"].lower() + str(results))
        self.assertEqual(files_under(self.folder), ["a.ma"])


if __name__ == "__main__":
    unittest.main()
