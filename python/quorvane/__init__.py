"""Exact piecewise-linear interpolation between uint64 coordinates and
int64 or float64 values, in both directions."""

from .rust import forward_float, forward_int, inverse_float, inverse_int

__all__ = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
__version__ = "0.1.0"
