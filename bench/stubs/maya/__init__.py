"""No-cost stand-ins for Maya's command modules, for the benchmarks only."""
