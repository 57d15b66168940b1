"""The simulated Maya alone, for the simulator's own tests: they need no
built module, so they keep to what the simulator promises."""

import os
import sys
import unittest

SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")
if SIM not in sys.path:
    sys.path.insert(0, SIM)

import mayasim  # noqa: E402

host = mayasim.host


class SimTestCase(unittest.TestCase):
    """Each test starts from a freshly started simulated Maya."""

    def setUp(self):
        mayasim.reset()
