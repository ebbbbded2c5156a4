"""Applied fields: what a model is placed in.

Everything that produces a field is a *source*: an object with a method
``field(points) -> (P, 3)`` giving H in A/m at points (P, 3) in m. A solved
body (:class:`zandrel.Solution`) is one, so is a uniform field, and so will
be current-carrying conductors or point dipoles. :func:`as_source` turns
whatever a user passes as ``applied`` into one source.
"""
import numbers

import numpy as np

from zandrel._convert import as_points, as_vector

__all__ = ["UniformField", "FunctionField", "SourceSum", "as_source", "evaluate"]


def evaluate(source, points, what="applied"):
    """H (P, 3) in A/m of ``source`` at ``points`` (P, 3) in m, checked for
    shape and finiteness (errors name ``what``)."""
    return _checked(source.field(points), len(points), what)


def _checked(values, count, what):
    """The (count, 3) float64 field a source returned, or a clear error."""
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must return an array of numbers (H in A/m), got {type(values).__name__}") from None
    if array.shape != (count, 3):
        raise ValueError(f"{what} must return H with shape ({count}, 3) for {count} points, got {array.shape}")
    bad = ~np.isfinite(array).all(axis=1)
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{what} returned a non-finite field at point {row}: {array[row].tolist()}")
    return array


class UniformField:
    """A uniform field H (3,) in A/m."""

    def __init__(self, H):
        self.H = as_vector(H, "H")
        self.H.flags.writeable = False

    def field(self, points):
        """H (P, 3) in A/m at ``points`` (P, 3) in m."""
        return np.broadcast_to(self.H, (len(as_points(points, "points")), 3)).copy()

    def __repr__(self):
        return f"UniformField({self.H.tolist()})"


class FunctionField:
    """A field given by a function ``f(points (P, 3) m) -> H (P, 3) A/m``."""

    def __init__(self, function):
        if not callable(function):
            raise TypeError(f"function must be callable, got {type(function).__name__}")
        self.function = function

    def field(self, points):
        points = as_points(points, "points")
        name = getattr(self.function, "__name__", "the applied function")
        return _checked(self.function(points), len(points), f"applied field function {name}")

    def __repr__(self):
        return f"FunctionField({self.function!r})"


class SourceSum:
    """The superposition of several sources."""

    def __init__(self, sources):
        self.sources = tuple(sources)

    def field(self, points):
        points = as_points(points, "points")
        total = np.zeros((len(points), 3))
        for source in self.sources:
            total += evaluate(source, points, f"the field of {type(source).__name__}")
        return total

    def __repr__(self):
        return f"SourceSum({list(self.sources)!r})"


def _is_vector(value):
    if isinstance(value, np.ndarray):
        return value.shape == (3,) and np.issubdtype(value.dtype, np.number)
    return (isinstance(value, (list, tuple)) and len(value) == 3
            and all(isinstance(v, numbers.Real) for v in value))


def as_source(applied, name="applied"):
    """One source from what a user passes as an applied field: None (no
    field), a constant H (3,) in A/m, a callable ``f(points) -> (P, 3)``, an
    object with ``field(points)``, or a list/tuple of these (superposed)."""
    if applied is None:
        return SourceSum(())
    if hasattr(applied, "field") and callable(applied.field):
        return applied
    if _is_vector(applied):
        return UniformField(as_vector(applied, name))
    if callable(applied):
        return FunctionField(applied)
    if isinstance(applied, np.ndarray) or (isinstance(applied, (list, tuple)) and applied
                                           and all(isinstance(v, numbers.Real) for v in applied)):
        as_vector(applied, name)  # numbers, but not three of them: explains the expected shape
    if isinstance(applied, (list, tuple)):
        return SourceSum(as_source(item, f"{name}[{k}]") for k, item in enumerate(applied))
    raise TypeError(f"{name} must be a field H (3,) in A/m, a function f(points) -> (P, 3) in A/m, an object "
                    f"with a .field(points) method, or a list of these; got {type(applied).__name__}")
