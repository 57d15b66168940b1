"""maya.api of the simulated host: only OpenMaya's scene messages."""
