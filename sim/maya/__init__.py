"""Simulated Maya package (see sim/README.md)."""
