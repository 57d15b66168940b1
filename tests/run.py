"""Runs the whole suite on this interpreter and prints one summary line,
"RESULT <passed> <failed> <skipped>", that the test command adds up."""

import os
import sys
import unittest


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    pattern = sys.argv[1] if len(sys.argv) > 1 else "test_*.py"
    suite = unittest.defaultTestLoader.discover(here, pattern=pattern, top_level_dir=here)
    result = unittest.TextTestRunner(verbosity=1, buffer=True).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print("RESULT {} {} {}".format(passed, failed, skipped))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
