"""velmora-batch doctor against the simulated Maya: green as it is, and each
check made to fail in turn (in the mayapy it starts, in the share, in the
user's cache), with a clear line, and nothing left behind."""

import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import unittest

import refusing
from headless_support import COMMAND, MAYAPY, ROOT, HeadlessTestCase, velmora

MAYA_CHECKS = ["versions", "batch mode", "scene .ma/.mb", "script nodes", "playback range", "output verified",
               "fbx plug-in", "fbx presets", "fbx export"]
SHARE_CHECKS = ["folder writable", "batch lock", "publishing", "letter case"]
ALL_CHECKS = ["velmora", "maya.standalone"] + MAYA_CHECKS + SHARE_CHECKS + ["user cache"]
WITHOUT_SHARE = [c for c in ALL_CHECKS if c not in SHARE_CHECKS]


def faults(*specs):
    return {"MAYASIM_FAULTS": json.dumps(list(specs))}


class DoctorTestCase(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.cache = self.path("cache")
        self.setenv("XDG_CACHE_HOME", self.cache)
        self.marker = "velmora-doctor-test-%d-%s" % (os.getpid(), self.id())
        self.setenv("VELMORA_DOCTOR_TEST", self.marker)

    def doctor(self, **kw):
        kw.setdefault("mayapy", MAYAPY)
        return velmora.doctor(**kw)

    def command(self, *args, prefix=(), program=None, env=None):
        """velmora-batch doctor as a process of its own, with a temporary
        folder of its own: (status, stdout, stderr, its temporary folder)."""
        tmp = self.path("tmp-%d" % len(os.listdir(self.tmp)))
        os.mkdir(tmp)
        full = dict(os.environ, TMPDIR=tmp)
        full.update(env or {})
        argv = list(prefix) + (program or [sys.executable, "-c", COMMAND, "doctor"]) + list(args)
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full,
                              timeout=120, universal_newlines=True)
        return done.returncode, done.stdout, done.stderr, tmp

    def assertFindings(self, findings, failed, names=ALL_CHECKS):
        """Every check reported in order, only `failed` ({check: texts}) not
        passed, each one's detail holding its texts; a check whose first
        text is "not checked: ..." has ok None (one cause, one failure).
        Returns them by check."""
        self.assertEqual([f["check"] for f in findings], names)
        by_check = dict((f["check"], f) for f in findings)
        self.assertEqual(sorted(c for c, f in by_check.items() if f["ok"] is not True), sorted(failed))
        for check, texts in failed.items():
            skipped = texts[0].startswith("not checked: ")
            self.assertIs(by_check[check]["ok"], None if skipped else False, check)
            for text in texts:
                self.assertIn(text, by_check[check]["detail"], check)
        return by_check

    def assertNothingLeft(self, folder=None):
        self.assertEqual(os.listdir(folder or self.folder), [])
        self.assertFalse(os.path.exists(self.cache))
        self.assertWorkersGone(self.marker)


class Green(DoctorTestCase):
    def test_every_check_passes_and_the_findings_say_what_was_found(self):
        findings = self.doctor(folder=self.folder)
        by_check = self.assertFindings(findings, {})
        for f in findings:
            self.assertEqual(list(f), ["check", "ok", "detail", "seconds"])
            self.assertIsInstance(f["seconds"], float)
        self.assertIn(os.path.abspath(velmora.__file__), by_check["velmora"]["detail"])
        self.assertIn("Maya 2024 (API 20240000); Python %d.%d" % sys.version_info[:2],
                      by_check["versions"]["detail"])
        self.assertIn("both reopen at ntsc, frames 5-50", by_check["scene .ma/.mb"]["detail"])
        self.assertEqual(by_check["script nodes"]["detail"], "doctor-scripts.ma's open/close script node did not "
                         "run with script nodes off (it did with them on)")
        self.assertEqual(by_check["playback range"]["detail"], "opened with script nodes off, frames 5-50 "
                         "(animation 5-50) as its configuration node says")
        self.assertTrue(by_check["output verified"]["detail"].startswith(
            "wrote .mb from doctor.ma and .ma from that with script nodes off; velmora read each back and found "
            "what its source held"), by_check["output verified"]["detail"])
        self.assertEqual(by_check["fbx plug-in"]["detail"], "fbxmaya 1.0 loaded")
        self.assertIn("it reopens at ntsc", by_check["fbx export"]["detail"])
        self.assertRegex(by_check["publishing"]["detail"],
                         r"^published by a hard link; .* went to velmora-doctor-[0-9a-f]+_001\.txt")
        self.assertIn("different files", by_check["letter case"]["detail"])
        self.assertIn(os.path.join(self.cache, "velmora", "batches"), by_check["user cache"]["detail"])
        self.assertNothingLeft()

    def test_the_tool_on_the_simulated_maya_passes_its_mayapy_and_exits_0(self):
        status, out, err, tmp = self.command(
            program=[sys.executable, os.path.join(ROOT, "tools", "headless.py"), "doctor"])
        self.assertEqual(status, 0, out + err)
        lines = out.splitlines()
        self.assertIn(MAYAPY, lines[0])
        self.assertEqual([line.split()[0] for line in lines[1:len(WITHOUT_SHARE) + 1]],
                         ["ok"] * len(WITHOUT_SHARE))
        self.assertIn("12 checks: 12 passed, 0 failed.", lines)
        block = lines[lines.index("---- velmora doctor: paste from here into an issue ----"):]
        self.assertEqual(block[1], "mayapy: " + MAYAPY)
        self.assertTrue(block[3].startswith("versions: Maya 2024"))
        self.assertEqual(block[4:], ["every check passed", "---- to here ----"])
        self.assertEqual(os.listdir(tmp), [])
        self.assertNothingLeft()


class MayaFails(DoctorTestCase):
    """One check of Maya at a time, by what the simulated Maya is made to do."""

    NOT_STARTED = dict((c, ["not checked: Maya did not start"]) for c in MAYA_CHECKS)
    NO_PLUGIN = dict((c, ["not checked: the FBX plug-in did not load"])
                     for c in ("fbx presets", "fbx export"))
    CASES = [
        ("maya.standalone", dict(MAYASIM_COST_INITIALIZE="-1"),
         dict(NOT_STARTED, **{"maya.standalone": ["'-1' is negative -- no batch can run"]})),
        ("versions", faults({"command": "about", "message": "about: no such flag"}),
         {"versions": ["about -version failed: about: no such flag (Python "]}),
        ("batch mode", faults({"command": "file", "message": "file: prompt refused"}),
         {"batch mode": ["file: prompt refused -- workers rely on batch mode"]}),
        ("scene .ma/.mb", dict(MAYASIM_MISBEHAVE="time-unit-lost-on-save"),
         {"scene .ma/.mb": ["the .mb output written-1.mb opens at film, frames 5-50, written at "
                            "ntsc, frames 5-50", "do not trust"],
          # velmora's own reading of the output sees the same loss.
          "output verified": ["velmora could not verify Maya's .mb output: not what its source was: time "
                              "unit: ntsc in the source, film in the output"]}),
        ("script nodes", dict(MAYASIM_MISBEHAVE="script-nodes-always-run"),
         {"script nodes": ["Maya ran the scene's script node although executeScriptNodes was off -- a batch "
                           "cannot keep a scene's code from running", "convert only scenes you trust"]}),
        # The second open that puts the range back: the range check's own.
        ("playback range", faults({"command": "mel.eval", "match": "playbackOptions -min", "nth": 2,
                                   "message": "playbackOptions: range refused"}),
         {"playback range": ["the playback range was not put back: playbackOptions: range refused -- a batch's "
                             "outputs of .ma and .mb scenes would not keep their playback range"]}),
        ("output verified", dict(MAYASIM_MISBEHAVE="node-lost-on-save"),
         {"output verified": ["velmora could not verify Maya's .mb output: not what its source was: 1 of 4 "
                              "nodes missing: velmoraDoctorLocatorShape (locator)", "publishes none of them"]}),
        ("fbx plug-in", dict(MAYASIM_MISSING_PLUGINS="fbxmaya"),
         dict(NO_PLUGIN, **{"fbx plug-in": ['Plug-in, "fbxmaya", was not found on MAYA_PLUG_IN_PATH. '
                                            "-- every .fbx output and every .fbx source will fail"]})),
        ("fbx presets", faults({"command": "mel.eval", "match": "FBXExportBakeComplexEnd",
                                "message": "FBXExportBakeComplexEnd: bad value"}),
         {"fbx presets": ["Animation: Warning: FBX settings - FBXExportBakeComplexEnd: bad value",
                          "still exported, with the exporter's current settings"]}),
        ("fbx export", dict(MAYASIM_MISBEHAVE="time-unit-lost-on-export"),
         {"fbx export": ["written-1.fbx reopens at film, written at ntsc", "frame rate"]}),
    ]

    def test_each_check_fails_with_maya_s_message_and_what_velmora_will_do(self):
        for check, env, failed in self.CASES:
            with self.subTest(check=check):
                os.environ.update(env)
                try:
                    self.assertFindings(self.doctor(), failed, WITHOUT_SHARE)
                finally:
                    for name in env:
                        del os.environ[name]
        self.assertNothingLeft()

    def test_the_script_node_s_marker_is_found_under_any_folder_name(self):
        # Quotes of both kinds, a backslash, a space, a non-ASCII letter and
        # a byte that is not UTF-8 in the doctor's folder, which the scene's
        # Python names inside a MEL string: green, the node runs only when
        # allowed; made to run always, the doctor sees it ran.
        odd = self.path("o'dd \"q\"\\b \u00e9 " + os.fsdecode(b"\xff"))
        os.mkdir(odd)
        for misbehave, failed in (("", []), ("script-nodes-always-run", ["script nodes"])):
            with self.subTest(misbehave=misbehave):
                status, out, err, tmp = self.command("--mayapy", MAYAPY, env=dict(TMPDIR=odd,
                                                                                  MAYASIM_MISBEHAVE=misbehave))
                self.assertEqual(status, 1 if failed else 0, out + err)
                marks = dict((line[6:23].strip(), line[:4].strip()) for line in out.splitlines()[1:13])
                self.assertEqual(sorted(c for c, mark in marks.items() if mark != "ok"), failed, out)
                self.assertEqual(os.listdir(odd), [])
        self.assertNothingLeft()

    def test_another_velmora_found_first_by_mayapy_is_named(self):
        other = self.path("other")
        os.mkdir(other)
        shutil.copy(velmora.__file__, other)
        site = self.path("site")
        os.mkdir(site)
        with open(os.path.join(site, "sitecustomize.py"), "w") as f:
            f.write("import sys\nsys.path.insert(0, %r)\nimport velmora\nsys.path.remove(%r)\n"
                    % (other, other))
        self.setenv("PYTHONPATH", os.pathsep.join(filter(None, [site, os.environ.get("PYTHONPATH")])))
        self.assertFindings(self.doctor(), {"velmora": [
            "mayapy imports velmora from %s, not %s" % (os.path.join(other, os.path.basename(
                velmora.__file__)), os.path.abspath(velmora.__file__)),
            "keep one installation per Maya"]}, WITHOUT_SHARE)


class ShareFails(DoctorTestCase):
    """The share and the cache, made to refuse what velmora needs; the
    command exits 1 and the paste block names the failure."""

    def run_failing(self, check, prefix=(), folder=None):
        status, out, err, tmp = self.command("--mayapy", MAYAPY, "--folder", folder or self.folder,
                                              prefix=prefix)
        self.assertEqual(status, 1, out + err)
        (line,) = [l for l in out.splitlines() if l.startswith("FAIL  ")]
        self.assertTrue(line.startswith("FAIL  %-15s  " % check), line)
        self.assertIn("FAILED %s: " % check, out.split("paste from here")[1])
        self.assertEqual(os.listdir(tmp), [])
        return line

    def test_a_folder_that_refuses_links_publishes_by_a_rename(self):
        if not refusing.available("links"):
            self.skipTest("no seccomp filter here to refuse links")
        status, out, err, tmp = self.command("--mayapy", MAYAPY, "--folder", self.folder,
                                              prefix=refusing.command("links", []))
        self.assertEqual(status, 0, out + err)
        (line,) = [l for l in out.splitlines() if "publishing" in l and "published by" in l]
        self.assertIn("published by a rename that does not replace (no links here)", line)
        self.assertEqual(os.listdir(tmp), [])
        self.assertNothingLeft()

    def test_a_folder_without_record_locks(self):
        if not refusing.available("locks"):
            self.skipTest("no seccomp filter here to refuse locks")
        line = self.run_failing("batch lock", refusing.command("locks", []))
        self.assertIn("No locks available", line)
        self.assertIn("stops before converting anything", line)
        self.assertNothingLeft()

    def test_a_read_only_folder(self):
        folder = self.path("read-only")
        os.mkdir(folder)
        if os.geteuid() == 0:
            if subprocess.call(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", folder],
                               stderr=subprocess.DEVNULL) != 0:
                self.skipTest("root, but no tmpfs can be mounted here")
            self.addCleanup(subprocess.call, ["umount", folder])
        else:
            os.chmod(folder, stat.S_IRUSR | stat.S_IXUSR)
            self.addCleanup(os.chmod, folder, stat.S_IRWXU)
        status, out, err, tmp = self.command("--mayapy", MAYAPY, "--folder", folder)
        self.assertEqual(status, 1, out + err)
        failed = dict((l.split("  ")[1].strip(), l) for l in out.splitlines() if l.startswith("FAIL  "))
        self.assertEqual(sorted(failed), ["batch lock", "folder writable", "letter case", "publishing"])
        self.assertRegex(failed["folder writable"], r"(Read-only file system|Permission denied).* -- "
                                                    r"every output written into this folder will fail")
        self.assertEqual(os.listdir(folder), [])

    def test_a_cache_that_cannot_be_made(self):
        blocker = self.path("not-a-folder")
        with open(blocker, "w") as f:
            f.write("x")
        self.setenv("XDG_CACHE_HOME", os.path.join(blocker, "cache"))
        line = self.run_failing("user cache")
        self.assertIn("Not a directory", line)
        self.assertIn("name a journal elsewhere with --journal", line)
        with open(blocker) as f:
            self.assertEqual(f.read(), "x")
        self.assertEqual(os.listdir(self.folder), [])


class MayapyFails(DoctorTestCase):
    def test_no_mayapy_is_one_line_naming_the_places_tried_and_exit_2(self):
        if any(os.path.exists("/usr/autodesk/maya%d/bin/mayapy" % y) for y in range(2022, 2028)):
            self.skipTest("a Maya is installed here")
        no_maya = self.path("no-maya")
        status, out, err, tmp = self.command(env=dict(MAYA_LOCATION=no_maya, PATH=self.path("empty")))
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(len(err.splitlines()), 1, err)
        self.assertTrue(err.startswith("velmora-batch: error: no mayapy found (tried %s, "
                                       "/usr/autodesk/maya2027/bin/mayapy, " % os.path.join(no_maya, "bin", "mayapy")))
        self.assertIn("/usr/autodesk/maya2022/bin/mayapy, mayapy on PATH); name one with --mayapy", err)
        self.assertEqual(os.listdir(tmp), [])

    def test_a_mayapy_or_folder_that_is_not_there_or_cannot_run_is_exit_2(self):
        plain = self.path("plain-file")
        with open(plain, "w") as f:
            f.write("#!/bin/sh\n")
        for args, message in ((["--mayapy", self.path("nowhere")], "mayapy not found: "),
                              (["--mayapy", plain], "mayapy could not be run: %s: [Errno 13]" % plain),
                              (["--mayapy", MAYAPY, "--folder", self.path("nowhere")], "folder not found: "),
                              (["--mayapy", MAYAPY, "--timeout", "0"], "timeout must be a number")):
            with self.subTest(args=args):
                status, out, err, tmp = self.command(*args)
                self.assertEqual(status, 2)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertTrue(err.startswith("velmora-batch: error: " + message), err)
                if args[1] != plain:  # only a mayapy that is there is announced
                    self.assertEqual(out, "")
                self.assertEqual(os.listdir(tmp), [])
        with self.assertRaisesRegex(ValueError, "^mayapy not found: "):
            self.doctor(mayapy=self.path("nowhere"))

    def fake_mayapy(self, body):
        """A mayapy that runs `body` (sh) instead of the checks; its argv:
        -c CODE module-folder findings work share binary id."""
        fake = self.path("mayapy")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(fake, stat.S_IRWXU)
        return fake

    def test_a_mayapy_that_dies_before_velmora_loads_ran_no_check(self):
        fake = self.fake_mayapy('touch "$6/.velmora-$8.1.txt" "$6/velmora-doctor-$8.txt"\n'
                                'echo "ImportError: GLIBC_2.99 not found" >&2\nexit 3\n')
        open(os.path.join(self.folder, ".velmora-0123.1.ma"), "w").close()  # another batch's
        with self.assertRaisesRegex(ValueError, r"^mayapy ran none of the doctor's checks: %s ended \(exit code "
                                                r"3\); it printed: ImportError: GLIBC_2.99 not found$" % fake):
            self.doctor(mayapy=fake, folder=self.folder)
        self.assertEqual(os.listdir(self.folder), [".velmora-0123.1.ma"])

    def test_a_mayapy_that_runs_no_check_fails_with_exit_2_and_what_it_did(self):
        for program, how in (("/bin/true", "ended (exit code 0)"), ("/bin/false", "ended (exit code 1)")):
            with self.subTest(mayapy=program):
                status, out, err, tmp = self.command("--mayapy", program, "--folder", self.folder)
                self.assertEqual(status, 2, out + err)
                self.assertEqual(err, "velmora-batch: error: mayapy ran none of the doctor's checks: %s %s\n"
                                 % (program, how))
                self.assertNotIn("checks:", out)
                self.assertEqual(os.listdir(tmp), [])
        self.assertNothingLeft()

    def test_a_mayapy_that_ends_with_0_in_the_middle_of_a_check_does_not_pass(self):
        fake = self.fake_mayapy('printf \'{"begin": "velmora"}\\n\' > "$4"\necho "bye"\nexit 0\n')
        missing = dict((c, ["not checked: mayapy ended (exit code 0) during 'velmora'"])
                       for c in WITHOUT_SHARE[1:])
        self.assertFindings(self.doctor(mayapy=fake), dict(missing, velmora=[
            "mayapy ended (exit code 0) during this check; it printed: bye -- velmora cannot run"]),
            WITHOUT_SHARE)

    def test_one_cause_is_one_failure_on_the_console(self):
        status, out, err, tmp = self.command("--mayapy", MAYAPY, env=dict(MAYASIM_COST_INITIALIZE="-1"))
        self.assertEqual(status, 1, out + err)
        self.assertIn("12 checks: 2 passed, 1 failed, 9 not checked.", out.splitlines())
        marks = [line.split()[0] for line in out.splitlines()[1:len(WITHOUT_SHARE) + 1]]
        self.assertEqual(marks, ["ok", "FAIL"] + ["skip"] * 9 + ["ok"])
        block = out[out.index("paste from here"):]
        self.assertEqual(block.count("FAILED "), 1)
        self.assertIn("FAILED maya.standalone: ", block)
        self.assertIn("not checked because of it: " + ", ".join(MAYA_CHECKS), block)

    def test_a_stuck_maya_is_stopped_after_the_timeout(self):
        self.setenv("MAYASIM_COST_INITIALIZE", "300")
        findings = self.doctor(folder=self.folder, timeout=1)
        stopped = "mayapy did not finish within 1.0 s and was stopped"
        self.assertFindings(findings, dict(
            [("maya.standalone", [stopped + " during this check -- no batch can run"])] +
            [(c, ["not checked: %s during 'maya.standalone'" % stopped]) for c in ALL_CHECKS[2:]]))
        self.assertNothingLeft()

    def test_ctrl_c_stops_mayapy_and_leaves_nothing(self):
        tmp = self.path("tmp")
        os.mkdir(tmp)
        env = dict(os.environ, TMPDIR=tmp, MAYASIM_COST_INITIALIZE="300")
        # As from a terminal: a suite started in the background by a shell
        # inherits Ctrl-C ignored, and would hand that on.
        proc = subprocess.Popen([sys.executable, "-c", COMMAND, "doctor", "--mayapy", MAYAPY],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                universal_newlines=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        lines = [proc.stdout.readline(), proc.stdout.readline()]
        self.assertTrue(lines[1].startswith("ok    velmora"), lines)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 130, out + err)
        self.assertIn("velmora doctor: interrupted", out)
        self.assertEqual(os.listdir(tmp), [])
        self.assertWorkersGone(self.marker)


if __name__ == "__main__":
    unittest.main()
