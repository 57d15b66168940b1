"""The journal after a power cut or a kill in the middle of a write: the torn
last line is cut before the next run appends, a journal that an older
velmora already glued a record onto still reads, and a resumed batch writes
each output once over all its runs."""

import errno
import json
import os
import shutil
import subprocess
import sys

from headless_support import MAYAPY, HeadlessTestCase, files_under, journal_lines
from support import BUILD, SIM

# The last source's record holds \uXXXX escapes (the journal is ASCII).
NAMES = ["a.ma", "b.ma", "\u65e5\u672c.ma"]
OUTPUTS = ["a.mb", "b.mb", "\u65e5\u672c.mb"]
TOTALS = "Total: 3\nSuccess: 3\nFailed: 0\n"


def lines_of(data):
    """The whole lines of journal bytes, without their line breaks."""
    return data.split(b"\n")[:-1]


class FinishedBatch(HeadlessTestCase):
    """One finished batch of three sources, its journal kept as bytes."""

    def setUp(self):
        super().setUp()
        self.scenes(*NAMES)
        results = self.batch(outputs=("mb",), jobs=1)
        self.assertEqual(results["converted"], 3)
        with open(self.journal, "rb") as f:
            lines = lines_of(f.read())
        # Records come in the order files finish (the biggest go out first):
        # put the last source's last, as a batch that finished it last wrote
        # (each source's publish line before its record).
        head, records, end = lines[:2], lines[2:-1], lines[-1:]

        def order(line):
            record = json.loads(line.decode())
            return record.get("source", record.get("publish")), "source" in record
        records.sort(key=order)
        self.whole = b"\n".join(head + records + end) + b"\n"
        self.write_journal(self.whole)
        self.batch_id = journal_lines(self.journal)[0]["batch"]
        self.last_record, self.run_end = lines_of(self.whole)[-2:]
        self.assertEqual(json.loads(self.last_record.decode())["outputs"], [OUTPUTS[-1]])
        self.assertIn(b"\\u", self.last_record)

    def write_journal(self, data, path=None):
        with open(path or self.journal, "wb") as f:
            f.write(data)

    def read_journal(self):
        with open(self.journal, "rb") as f:
            return f.read()

    def assertWholeBatch(self, results):
        self.assertEqual((results["total"], results["converted"], results["failed"], results["pending"]),
                         (3, 3, [], []))
        self.assertEqual(sorted(os.path.basename(p) for p in results["outputs"]), sorted(OUTPUTS))

    def assertOnlyTheOutputs(self):
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))  # no _001, no temp


class EveryCut(FinishedBatch):
    """Every byte of the last two records, read and reopened by real resumed
    runs in this process. The last source was recorded again by a later run
    (the last record of a source wins), so that whatever byte the journal is
    cut at nothing is left to convert and no worker needs to start."""

    def test_a_torn_last_line_is_cut_and_the_batch_resumes(self):
        base = self.whole + self.run_start() + self.last_record + b"\n" + self.run_end + b"\n"
        first = len(base) - len(self.last_record) - len(self.run_end) - 2
        for cut in range(first, len(base) + 1):
            with self.subTest(cut=cut):
                self.write_journal(base[:cut])
                for _ in range(2):
                    self.assertWholeBatch(self.batch(outputs=("mb",), jobs=1, resume=True))
                after = self.read_journal()
                kept = base.rfind(b"\n", 0, cut) + 1
                # Cut back to the last line break, and only that.
                self.assertEqual(after[:kept], base[:kept])
                self.assertTrue(after[kept:].startswith(b'{"run": "start"'), after[kept:kept + 40])
                self.assertEqual(len(journal_lines(self.journal)), len(lines_of(base[:kept])) + 4)
                self.assertOnlyTheOutputs()

    def test_a_record_an_older_version_glued_onto_the_fragment_is_read(self):
        base = self.whole + self.run_start() + self.last_record + b"\n" + self.run_end + b"\n"
        first = len(base) - len(self.last_record) - len(self.run_end) - 2
        for cut in range(first, len(base)):
            with self.subTest(cut=cut):
                # What a resume used to leave: its first record appended
                # after the fragment, then a traceback.
                self.write_journal(base[:cut] + self.run_start())
                for _ in range(2):
                    self.assertWholeBatch(self.batch(outputs=("mb",), jobs=1, resume=True))
                self.assertTrue(self.read_journal().startswith(base[:cut] + self.run_start()))
                self.assertOnlyTheOutputs()

    def run_start(self):
        return lines_of(self.whole)[1] + b"\n"


class Damaged(FinishedBatch):
    def test_lines_that_are_no_record_are_passed_over(self):
        lines = lines_of(self.whole)
        junk = [b"\0\0\0\0", b"[1, 2]", b"42", b"", b'{"sourc{"run": "start", "time": 1', b"\xff\xfe{"]
        self.write_journal(b"\n".join(lines[:3] + junk + lines[3:]) + b"\n")
        for _ in range(2):
            self.assertWholeBatch(self.batch(outputs=("mb",), jobs=1, resume=True))
        self.assertOnlyTheOutputs()

    def test_a_bad_first_line_is_not_a_journal(self):
        rest = b"\n".join(lines_of(self.whole)[1:]) + b"\n"
        for first in (b'{"journal": "velm' + rest.split(b"\n")[0], b"[1]", b'{"run": "start", "time": 1}'):
            with self.subTest(first=first):
                self.write_journal(first + b"\n" + rest)
                with self.assertRaises(ValueError) as caught:
                    self.batch(outputs=("mb",), jobs=1, resume=True)
                self.assertIn("is not a velmora batch journal", str(caught.exception))
                self.assertEqual(self.read_journal(), first + b"\n" + rest)
        self.write_journal(b'{"journal": "velmora-batch", "vers')
        with self.assertRaises(ValueError) as caught:
            self.batch(outputs=("mb",), jobs=1, resume=True)
        self.assertIn("is not a velmora batch journal (empty)", str(caught.exception))


class ResumedAfterATear(FinishedBatch):
    """A sample of cuts, each resumed twice by the command as a process of
    its own, with the folder as the crash left it."""

    def cuts(self):
        record = len(self.whole) - len(self.last_record) - len(self.run_end) - 2
        line_break = record + len(self.last_record)
        escape = record + self.last_record.index(b"\\u") + 3
        return {"after the record's first byte": record + 1,
                "inside the JSON": record + len(self.last_record) // 2,
                "inside a \\u escape": escape,
                "just before the line break": line_break,
                "just after the line break": line_break + 1,
                "inside the run's end": line_break + 10,
                "just before the last line break": len(self.whole) - 1}

    def test_each_output_once_no_traceback_and_the_whole_batch_counted(self):
        pristine = self.path("pristine")
        shutil.copytree(self.folder, pristine, copy_function=os.link)
        record = len(self.whole) - len(self.last_record) - len(self.run_end) - 2
        for where, cut in sorted(self.cuts().items(), key=lambda item: item[1]):
            for glued in (False, True):
                with self.subTest(where=where, glued=glued):
                    # The batch's own folder, as the crash left it: a
                    # journal resumes only the folder it was made for.
                    self.journal = self.path("cut-%d-%d.journal" % (cut, glued))
                    shutil.rmtree(self.folder)
                    # Linked, not copied: the outputs stay the files the
                    # journal noted before it published them.
                    shutil.copytree(pristine, self.folder, copy_function=os.link)
                    tail = lines_of(self.whole)[1] + b"\n" if glued else b""
                    self.write_journal(self.whole[:cut] + tail)
                    if cut <= record + len(self.last_record):
                        self.as_the_crash_left_it()
                    for _ in range(2):
                        command = self.command("--outputs", "mb", "--jobs", "1", "--resume")
                        out, err = command.communicate(timeout=60)
                        self.assertNotIn(b"Traceback", err)
                        self.assertEqual((command.returncode, err), (0, b""))
                        self.assertIn(TOTALS.encode(), out)
                    self.assertOnlyTheOutputs()
                    for line in lines_of(self.read_journal())[-4:]:
                        json.loads(line.decode("ascii"))

    def as_the_crash_left_it(self):
        """The last source's record never reached the disk: its output was
        published and its temporary name (a second link) is still there."""
        output = os.path.join(self.folder, OUTPUTS[-1])
        os.link(output, os.path.join(self.folder, ".velmora-%s.2.mb" % self.batch_id))


class StartingAJournal(HeadlessTestCase):
    def test_a_journal_that_cannot_be_written_leaves_no_file(self):
        self.scenes(*NAMES)
        journals = self.path("journals")
        os.makedirs(journals)
        # The file size limit stands in for a full disk: the batch line is
        # longer than it.
        script = ("import resource, signal, sys; sys.path[:0] = [%r, %r]; import velmora\n"
                  "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
                  "resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))\n"
                  "try:\n"
                  "    velmora.batch(sys.argv[1], journal=sys.argv[2], mayapy=sys.argv[3])\n"
                  "except OSError as e:\n"
                  "    print('refused', e.errno)\n" % (SIM, BUILD))
        done = subprocess.run([sys.executable, "-c", script, self.folder, os.path.join(journals, "batch.journal"),
                               MAYAPY], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(done.stdout.decode().split(), ["refused", str(errno.EFBIG)], done.stderr)
        self.assertEqual(os.listdir(journals), [])
        self.assertEqual(files_under(self.folder), sorted(NAMES))
