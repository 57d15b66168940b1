"""velmora-batch's own help: the commands it takes besides a folder, each
named with a line, each one that the command really runs."""

import re
import unittest

from headless_support import batch_command as command

COMMANDS = ["plan", "run-task", "report", "submit", "inspect", "doctor", "clean"]


class Help(unittest.TestCase):
    def test_the_help_lists_every_command_with_a_line_each(self):
        status, out, err = command("--help")
        self.assertEqual((status, err), (0, ""))
        block = out[out.index("\ncommands "):].splitlines()[2:]
        listed = [line.split()[0] for line in block if line.startswith("  ")]
        self.assertEqual(listed, COMMANDS)
        for line in block:
            self.assertRegex(line, r"^  \S.* {2,}[a-z].*\S$")
        # Each line is what that command's own help describes.
        self.assertRegex(out, r"\n  plan FOLDER --tasks N --out JOBDIR +cut a batch into farm tasks")
        self.assertRegex(out, r"\n  submit --farm MANAGER JOBDIR +write a farm manager's job")

    def test_the_options_keep_their_own_help_and_each_command_answers_help(self):
        status, out, _ = command("--help")
        self.assertRegex(out, r"\n  --retry-failed +with --resume: convert the sources that failed again\n")
        self.assertRegex(out, r"\n  --output-folder DIR +write the outputs under DIR, in the sources'\n +subfolders")
        for name in COMMANDS:
            with self.subTest(command=name):
                status, out, err = command(name, "--help")
                self.assertEqual((status, err), (0, ""))
                self.assertTrue(re.match(r"usage: velmora-batch %s " % name, out), out)


if __name__ == "__main__":
    unittest.main()
