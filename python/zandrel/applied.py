"""Applied fields: what a model is placed in.

Everything that produces a field is a *source*: an object with a method
``field(points) -> (P, 3)`` giving H in A/m at points (P, 3) in m. A solved
body (:class:`zandrel.Solution`) is one, so is a uniform field, and so are
current-carrying conductors and point dipoles (:mod:`zandrel.sources`).
:func:`as_source` turns whatever a user passes as ``applied`` into one
source. The package's sources also give the flux density
(``flux_density(points)``, B in T) and add up with ``+``.
"""
import numbers

import numpy as np

from zandrel._convert import as_targets, as_vector
from zandrel.constants import MU0

__all__ = ["Source", "UniformField", "FunctionField", "SourceSum", "as_source", "evaluate", "flux_density_of",
           "obstacles_of"]


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


def flux_density_of(source, points, what="applied"):
    """B (P, 3) in T of ``source`` at ``points`` (P, 3): its own
    ``flux_density`` when it has one (sources with magnetised material add
    μ0·M inside it), else μ0·H (a source in air)."""
    if hasattr(source, "flux_density") and callable(source.flux_density):
        return _checked(source.flux_density(points), len(points), what)
    return MU0 * evaluate(source, points, what)


def obstacles_of(source):
    """Bounding boxes ``(lo (K, 3), hi (K, 3))`` in m of what carries the
    source's field (conductors, dipole spheres, magnetised elements), or
    None when the source does not say (a function, a uniform field)."""
    boxes = getattr(source, "obstacles", None)
    return boxes() if callable(boxes) else None


class Source:
    """Base of the package's field sources: ``field(points)`` (H in A/m) and
    ``flux_density(points)`` (B in T) at points of any shape ``(..., 3)``
    in m, and ``a + b`` for the superposition of two sources."""

    def field(self, points):
        """Field strength H in A/m at ``points`` (3,), (P, 3) or (..., 3) in
        m, in the shape of ``points``."""
        flat, leading = as_targets(points, "points")
        return self._field(flat).reshape(leading + (3,))

    def flux_density(self, points):
        """Flux density B in T at ``points`` (3,), (P, 3) or (..., 3) in m,
        in the shape of ``points``."""
        flat, leading = as_targets(points, "points")
        return self._flux_density(flat).reshape(leading + (3,))

    def _flux_density(self, points):
        return MU0 * self._field(points)

    def obstacles(self):
        """Bounding boxes (lo (K, 3), hi (K, 3)) in m of the source's carriers; None: unknown."""
        return None

    def __add__(self, other):
        mine = self.sources if isinstance(self, SourceSum) else (self,)
        if isinstance(other, SourceSum):
            return SourceSum(mine + other.sources)
        return SourceSum(mine + (as_source(other, "the added field"),))

    def __radd__(self, other):
        if isinstance(other, numbers.Number) and other == 0:  # sum([...]) starts from 0
            return self
        return as_source(other, "the added field") + self


class UniformField(Source):
    """A uniform field H (3,) in A/m (B = μ0·H)."""

    def __init__(self, H):
        self.H = as_vector(H, "H")
        self.H.flags.writeable = False

    def _field(self, points):
        return np.broadcast_to(self.H, (len(points), 3)).copy()

    def obstacles(self):
        return np.zeros((0, 3)), np.zeros((0, 3))  # its carriers are outside the model's space

    def __repr__(self):
        return f"UniformField({self.H.tolist()})"


class FunctionField(Source):
    """A field given by a function ``f(points (P, 3) m) -> H (P, 3) A/m``
    (B = μ0·H: the function describes a field in air)."""

    def __init__(self, function):
        if not callable(function):
            raise TypeError(f"function must be callable, got {type(function).__name__}")
        self.function = function

    def _field(self, points):
        name = getattr(self.function, "__name__", "the applied function")
        return _checked(self.function(points), len(points), f"applied field function {name}")

    def __repr__(self):
        return f"FunctionField({self.function!r})"


class SourceSum(Source):
    """The superposition of several sources (``a + b`` makes one)."""

    def __init__(self, sources):
        self.sources = tuple(sources)

    def _field(self, points):
        total = np.zeros((len(points), 3))
        for source in self.sources:
            total += evaluate(source, points, f"the field of {type(source).__name__}")
        return total

    def _flux_density(self, points):
        total = np.zeros((len(points), 3))
        for source in self.sources:
            total += flux_density_of(source, points, f"the flux density of {type(source).__name__}")
        return total

    def obstacles(self):
        boxes = [obstacles_of(source) for source in self.sources]
        if any(b is None for b in boxes):
            return None
        return (np.concatenate([b[0] for b in boxes] + [np.zeros((0, 3))]),
                np.concatenate([b[1] for b in boxes] + [np.zeros((0, 3))]))

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
