"""The benchmarks' tables, as Markdown."""

import sys


def write_table(head, rows, out=sys.stdout):
    """`head` and each row are tuples of cells (str), one per column."""
    rows = [head] + list(rows)
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    for n, row in enumerate(rows):
        out.write("| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |\n")
        if n == 0:
            out.write("|" + "|".join("-" * (w + 2) for w in widths) + "|\n")
    out.flush()
