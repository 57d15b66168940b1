"""Behaviours found wanting in a read of the whole module against what it
promises, each kept here so that it stays mended."""

import decimal
import unittest

from support import HostTestCase


class ProgressFollowsTheInterpretersArithmetic(HostTestCase):
    """The progress value is int(float(i + 1) / total_files * 100) with
    whatever total_files holds: the same value, or the same error, as the
    interpreter gives, never a wrapped machine integer."""

    def progress_of(self, total):
        conv = self.converter()
        shown = []
        conv.update_progress = shown.append
        conv.update_status = lambda msg: None
        conv.enable_viewport = lambda: None
        conv.total_files = total
        conv.process_files(["a.ma"], [])
        return shown

    def test_values_beyond_a_machine_integer_stay_exact(self):
        self.assertEqual(self.progress_of(1e-300), [int(1.0 / 1e-300 * 100)])
        self.assertEqual(self.progress_of(1e-17), [int(1.0 / 1e-17 * 100)])

    def test_totals_the_interpreter_rejects_raise_its_errors(self):
        cases = (
            (float("nan"), ValueError, "cannot convert float NaN to integer"),
            ("3", TypeError, "unsupported operand type(s) for /: 'float' and 'str'"),
            (decimal.Decimal(3), TypeError, None),
            (0, ZeroDivisionError, "float division by zero"),
        )
        for total, error, text in cases:
            with self.subTest(total=total):
                with self.assertRaises(error) as caught:
                    self.progress_of(total)
                if text is not None:
                    self.assertEqual(str(caught.exception), text)


if __name__ == "__main__":
    unittest.main()
