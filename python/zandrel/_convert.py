"""Argument conversion shared by the package: NumPy-style ``asarray`` with the
right dtype and layout, and errors that name the argument and say what to do.

Everything here raises ``TypeError`` for a value of the wrong kind (not a
number, not integer where indices are needed) and ``ValueError`` for a value
of the right kind but the wrong shape, range or content.
"""
import logging
import operator

import numpy as np

__all__ = ["as_points", "as_targets", "check_target_shape", "as_vector", "as_vectors", "as_values", "as_connectivity",
           "as_indices",
           "as_positive", "as_count", "as_threads", "as_flag"]

log = logging.getLogger("zandrel")


def _float_array(value, name):
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be an array of real numbers: {exc}") from None
    return array


def as_points(value, name, *, allow_single=False, finite=True):
    """(N, 3) C-contiguous float64 array of points or vectors.

    A (3, N) array (N != 3) is refused with the hint to transpose it. With
    ``allow_single`` a single (3,) point is accepted and returned as (1, 3);
    the caller reshapes its result back. With ``finite`` NaN and infinities
    are refused, naming the first bad row.
    """
    array = _float_array(value, name)
    if allow_single and array.shape == (3,):
        array = array.reshape(1, 3)
    if array.ndim != 2 or array.shape[1] != 3:
        hint = ""
        if array.ndim == 2 and array.shape[0] == 3:
            hint = f"; it looks transposed: pass {name}.T"
        elif array.ndim == 1 and array.size % 3 == 0 and array.size > 0:
            hint = f"; reshape it with {name}.reshape(-1, 3)"
        single = " or (3,)" if allow_single else ""
        raise ValueError(f"{name} must have shape (N, 3){single}, got {array.shape}{hint}")
    if finite:
        bad = ~np.isfinite(array).all(axis=1)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(f"{name} must be finite; row {row} is {array[row].tolist()}")
    return np.ascontiguousarray(array)


def as_targets(value, name="targets"):
    """Target points of any leading shape: ``(..., 3)`` array_like ->
    ``(flat (T, 3) C-contiguous float64, leading shape)``. A single point
    (3,) has the leading shape (); results are reshaped to
    ``leading shape + (3,)``, so one target gives one (3,) vector."""
    array = _float_array(value, name)
    check_target_shape(array.shape, name)
    leading = array.shape[:-1]
    flat = np.ascontiguousarray(array.reshape(-1, 3))
    bad = ~np.isfinite(flat).all(axis=1)
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{name} must be finite; point {np.unravel_index(row, leading) if leading else ()} "
                         f"is {flat[row].tolist()}")
    return flat, leading


def check_target_shape(shape, name="targets"):
    """Refuses a shape of target points that is not (..., 3), with a hint for
    the usual mistakes (a transposed or flattened array)."""
    if len(shape) == 0 or shape[-1] != 3:
        hint = ""
        if len(shape) == 2 and shape[0] == 3:
            hint = f"; it looks transposed: pass {name}.T"
        elif len(shape) == 1 and shape[0] % 3 == 0 and shape[0] > 0:
            hint = f"; reshape it with {name}.reshape(-1, 3)"
        raise ValueError(f"{name} must have shape (3,), (T, 3) or (..., 3) (x, y, z last), got {tuple(shape)}{hint}")


def as_vector(value, name):
    """A finite (3,) float64 vector."""
    array = _float_array(value, name)
    if array.shape != (3,):
        raise ValueError(f"{name} must be a 3-vector (x, y, z), got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite, got {array.tolist()}")
    return array


def as_vectors(value, name, count):
    """(count, 3) float64 per-element vectors; a single (3,) vector is
    broadcast to every row."""
    array = _float_array(value, name)
    if array.shape == (3,):
        array = np.broadcast_to(array, (count, 3))
    if array.shape != (count, 3):
        hint = f"; it looks transposed: pass {name}.T" if array.shape == (3, count) else ""
        raise ValueError(f"{name} must have shape ({count}, 3) or (3,), got {array.shape}{hint}")
    if not np.isfinite(array).all():
        row = int(np.flatnonzero(~np.isfinite(array).all(axis=1))[0])
        raise ValueError(f"{name} must be finite; row {row} is {array[row].tolist()}")
    return np.ascontiguousarray(array, dtype=np.float64)


def as_values(value, name, count, *, minimum=None):
    """(count,) C-contiguous float64 values (one per source), finite and at
    least ``minimum`` when given; a scalar is broadcast to every entry."""
    array = _float_array(value, name)
    if array.ndim == 0:
        array = np.full(count, float(array))
    if array.shape != (count,):
        raise ValueError(f"{name} must have shape ({count},) (one value per source) or be a scalar, "
                         f"got {array.shape}")
    bad = ~np.isfinite(array) if minimum is None else ~(np.isfinite(array) & (array >= minimum))
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        need = "finite" if minimum is None else f"finite and >= {minimum}"
        raise ValueError(f"{name} must be {need}; entry {row} is {array[row]!r}")
    return np.ascontiguousarray(array)


def as_connectivity(value, name, n_nodes):
    """(E, 4) C-contiguous uint32 node indices of tetrahedra from any integer
    array after a range check against ``n_nodes``; 10-node tetrahedra are
    reduced to their corners (logged), shapes that are almost right are
    explained."""
    array = np.asarray(value)
    if array.size and not np.issubdtype(array.dtype, np.integer):
        if np.issubdtype(array.dtype, np.floating) and np.array_equal(array, np.round(array)):
            raise TypeError(f"{name} must be an integer array of node indices, got floats; "
                            f"convert it with {name}.astype(np.int64)")
        raise TypeError(f"{name} must be an integer array of node indices, got dtype {array.dtype}")
    if array.ndim == 2 and array.shape[1] == 10:
        log.info("zandrel: 10-node tetrahedra in %s reduced to their 4 corner nodes", name)
        array = array[:, :4]
    if array.size == 0 and array.ndim == 1:
        array = array.reshape(0, 4)
    if array.ndim != 2 or array.shape[1] != 4:
        hint = ""
        if array.ndim == 2 and array.shape[0] == 4:
            hint = f"; it looks transposed: pass {name}.T"
        elif array.ndim == 2 and array.shape[1] == 3:
            hint = "; rows of 3 are triangles (a surface mesh), a volume mesh needs tetrahedra"
        raise ValueError(f"{name} must have shape (E, 4) (or (E, 10) for quadratic tetrahedra), "
                         f"got {array.shape}{hint}")
    if n_nodes > 0xFFFFFFFF:
        raise ValueError("meshes of more than 4294967295 nodes are not supported")
    if array.size:
        low, high = int(array.min()), int(array.max())
        if low < 0 or high >= n_nodes:
            bad = low if low < 0 else high
            row = int(np.argwhere(array == bad)[0, 0])
            raise ValueError(f"{name}: element {row} refers to node {bad}, outside 0 ... {n_nodes - 1}; "
                             "node indices are 0-based (subtract 1 from 1-based files)")
    return np.ascontiguousarray(array, dtype=np.uint32)


def as_indices(value, name, upper, *, allow_mask=False):
    """1-D int64 indices into a sequence of length ``upper``.

    Integer arrays of any dtype are accepted after a range check (negative
    indices are refused rather than counted from the end, since they are
    almost always a mistake in mesh data). With ``allow_mask`` a boolean
    array of length ``upper`` selects its True positions.
    """
    array = np.asarray(value)
    if allow_mask and array.dtype == np.bool_:
        if array.shape != (upper,):
            raise ValueError(f"{name}: a boolean mask must have shape ({upper},), got {array.shape}")
        return np.flatnonzero(array)
    if array.size == 0:
        return np.zeros(0, dtype=np.int64)
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must hold integer indices, got dtype {array.dtype}")
    array = array.reshape(-1).astype(np.int64, copy=False)
    low, high = int(array.min()), int(array.max())
    if low < 0 or high >= upper:
        bad = low if low < 0 else high
        raise ValueError(f"{name} holds index {bad}, outside 0 ... {upper - 1}")
    return array


def as_positive(value, name, *, allow_zero=False):
    """A finite float > 0 (or >= 0)."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, got {value!r}") from None
    ok = number >= 0.0 if allow_zero else number > 0.0
    if not (ok and np.isfinite(number)):
        raise ValueError(f"{name} must be {'non-negative' if allow_zero else 'positive'} and finite, got {value!r}")
    return number


def as_count(value, name, *, minimum=0):
    """A Python int >= minimum (NumPy integers accepted, bools and floats not)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    return number


def as_threads(value):
    """Thread count for the native functions: 0 means every available processor."""
    number = as_count(value, "threads")
    if number > 0xFFFFFFFF:
        raise ValueError(f"threads must be at most 4294967295 (0 = all processors), got {number}")
    return number


def as_flag(value, name):
    """A bool from True/False, a NumPy bool or the integers 0 and 1."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{name} must be True or False, got {value!r}")
