"""Regular grids of target points (lines, planes, boxes) and their export
for ParaView.

A :class:`Grid` is an array of points: pass it wherever targets are taken
and the field comes back in the grid's shape (as magpylib returns fields in
the shape of its observer arrays)::

    g = zandrel.grid.plane(size=0.04, shape=(81, 61), normal=(0, 1, 0))
    B = zandrel.b_mag_tet4(*mesh, M, g)           # (81, 61, 3) in T
    g.write("slice.vti", {"B": B})                 # ParaView: an image

``.vti`` files are VTK XML image data (uniform grids, raw binary appended
data, written here); any other suffix (``.vtu``, ``.xdmf``, ...) goes
through meshio as line, quad or hexahedron cells on the grid points.
Arbitrary point clouds go out with :func:`write_points`.
"""
import os
import xml.etree.ElementTree as ET

import numpy as np

from zandrel._convert import as_count, as_points, as_vector

__all__ = ["Grid", "line", "plane", "box", "write_points"]

_VTK_TYPES = {np.dtype(t).newbyteorder("<"): name for t, name in [
    (np.float64, "Float64"), (np.float32, "Float32"), (np.int8, "Int8"), (np.uint8, "UInt8"),
    (np.int16, "Int16"), (np.uint16, "UInt16"), (np.int32, "Int32"), (np.uint32, "UInt32"),
    (np.int64, "Int64"), (np.uint64, "UInt64")]}

# Cells of a grid with 1, 2 or 3 extended axes, as meshio names them.
_CELL_TYPES = {0: "vertex", 1: "line", 2: "quad", 3: "hexahedron"}


class Grid:
    """Points origin + i0 axes[0] + i1 axes[1] + ... on a regular grid.

    Parameters
    ----------
    origin : array_like, shape (3,)
        The first point, in m.
    axes : array_like, shape (k, 3), 1 <= k <= 3
        Step between neighbouring points along each grid axis, in m;
        mutually orthogonal.
    shape : sequence of k ints
        Number of points along each axis (>= 1).

    Notes
    -----
    ``np.asarray(grid)`` is the (shape..., 3) array of points, so a grid can
    be passed as ``targets`` to the field functions; ``grid.points`` is the
    same as (P, 3), in C order (the last axis fastest).
    """

    def __init__(self, origin, axes, shape):
        self.origin = as_vector(origin, "origin")
        axes = as_points(axes, "axes")
        if not 1 <= len(axes) <= 3:
            raise ValueError(f"axes must hold 1 to 3 step vectors, got {len(axes)}")
        shape = tuple(as_count(n, "shape", minimum=1) for n in np.atleast_1d(shape))
        if len(shape) != len(axes):
            raise ValueError(f"shape must have one count per axis: {len(shape)} counts for {len(axes)} axes")
        lengths = np.linalg.norm(axes, axis=1)
        if not np.all(lengths > 0.0):
            raise ValueError("the grid's steps must be non-zero vectors")
        units = axes / lengths[:, None]
        if np.abs(units @ units.T - np.eye(len(axes))).max() > 1e-9:
            raise ValueError("the grid's axes must be mutually orthogonal")
        self.axes = axes
        self.shape = shape

    @property
    def points(self):
        """(P, 3) float64 grid points in m, C order (last grid axis fastest)."""
        index = np.indices(self.shape).reshape(len(self.shape), -1).T.astype(np.float64)
        return self.origin + index @ self.axes

    @property
    def size(self):
        return int(np.prod(self.shape))

    def __len__(self):
        return self.size

    def __array__(self, dtype=None, copy=None):
        points = self.points.reshape(self.shape + (3,))
        return points if dtype is None else points.astype(dtype)

    def __repr__(self):
        return f"Grid(shape={self.shape}, origin={self.origin.tolist()}, axes={self.axes.tolist()})"

    def reshape(self, values, name="values"):
        """Values per point as ``shape + (...)``: accepts (P, ...) or
        already grid-shaped arrays."""
        array = np.asarray(values)
        if array.shape[:len(self.shape)] == self.shape:
            return array
        if array.ndim >= 1 and array.shape[0] == self.size:
            return array.reshape(self.shape + array.shape[1:])
        raise ValueError(f"{name} must have one row per grid point ({self.size} or shape {self.shape}), "
                         f"got shape {array.shape}")

    def write(self, path, point_data=None, **kwargs):
        """Write the grid with values at its points.

        Parameters
        ----------
        path : str or path-like
            ``.vti``: VTK XML image data (uniform grid, raw binary), written
            here; axes along the coordinate axes give a plain image, oblique
            ones a ``Direction`` matrix (VTK 9, ParaView 5.10 and later).
            Other suffixes (``.vtu``, ``.xdmf``, ...) go through meshio with
            line, quad or hexahedron cells between the points.
        point_data : dict, optional
            ``{name: values}`` with values of shape (P,), (P, k), ``shape``
            or ``shape + (k,)`` (e.g. a field returned for this grid).
        **kwargs
            Passed to ``meshio.write`` for non-``.vti`` files.
        """
        data = {name: self.reshape(values, f"point_data[{name!r}]") for name, values in (point_data or {}).items()}
        if os.fspath(path).lower().endswith(".vti"):
            _write_vti(path, self, data)
            return
        import meshio
        flat = {name: v.reshape((self.size,) + v.shape[len(self.shape):]) for name, v in data.items()}
        meshio.write(os.fspath(path), meshio.Mesh(self.points, [_grid_cells(self.shape)], point_data=flat), **kwargs)


def _grid_cells(shape):
    """Cells (line, quad or hexahedron; a vertex for a single point) between
    the points of a grid, over the axes with more than one point."""
    ids = np.arange(int(np.prod(shape))).reshape(shape)
    ids = ids.reshape([n for n in shape if n > 1] or [1])
    dim = 0 if ids.size == 1 else ids.ndim
    if dim == 0:
        return ("vertex", np.zeros((1, 1), dtype=np.int64))
    corners = {1: [(0,), (1,)], 2: [(0, 0), (1, 0), (1, 1), (0, 1)],
               3: [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]}[dim]
    columns = [ids[tuple(slice(c, c + n - 1) for c, n in zip(corner, ids.shape))].reshape(-1) for corner in corners]
    return (_CELL_TYPES[dim], np.stack(columns, axis=1))


def _image_frame(grid):
    """How a grid is laid out as VTK image data: origin, spacing (3,),
    dimensions (3,), direction matrix (columns: image axes), and for the
    values the grid axes to reverse and the order of grid axes along the
    image's x, y, z (None where the image axis has one point).

    Grid axes along the coordinate axes become the image's x, y, z
    (reversed where they point backwards), so the image needs no direction;
    oblique grids keep their axes and carry them as the direction."""
    lengths = np.linalg.norm(grid.axes, axis=1)
    units = grid.axes / lengths[:, None]
    along = np.abs(units).argmax(axis=1)
    aligned = np.all(np.abs(units[np.arange(len(units)), along]) > 1.0 - 1e-12) and len(set(along)) == len(along)
    spacing, dims = np.ones(3), np.ones(3, dtype=np.int64)
    if aligned:
        flips = [k for k in range(len(units)) if units[k, along[k]] < 0.0]
        origin = grid.origin + sum(((grid.shape[k] - 1) * grid.axes[k] for k in flips), np.zeros(3))
        order = [None, None, None]
        for k, c in enumerate(along):
            order[c] = k
            spacing[c], dims[c] = lengths[k], grid.shape[k]
        return origin, spacing, dims, np.eye(3), flips, order
    frame = list(units)
    if len(frame) == 1:
        helper = np.eye(3)[np.abs(frame[0]).argmin()]
        second = np.cross(frame[0], helper)
        frame.append(second / np.linalg.norm(second))
    if len(frame) == 2:
        frame.append(np.cross(frame[0], frame[1]))
    spacing[:len(units)], dims[:len(units)] = lengths, grid.shape
    order = [k if k < len(units) else None for k in range(3)]
    return grid.origin, spacing, dims, np.array(frame).T, [], order


def _write_vti(path, grid, data):
    """VTK XML ImageData with raw appended data (UInt64 length headers,
    little-endian); values in the image's point order, x fastest."""
    origin, spacing, dims, direction, flips, order = _image_frame(grid)
    extent = " ".join(f"0 {n - 1}" for n in dims)
    root = ET.Element("VTKFile", type="ImageData", version="1.0", byte_order="LittleEndian", header_type="UInt64")
    attributes = dict(WholeExtent=extent, Origin=" ".join(repr(float(v)) for v in origin),
                      Spacing=" ".join(repr(float(v)) for v in spacing))
    if not np.array_equal(direction, np.eye(3)):
        attributes["Direction"] = " ".join(repr(float(v)) for v in direction.reshape(-1))
    image = ET.SubElement(root, "ImageData", **attributes)
    piece = ET.SubElement(image, "Piece", Extent=extent)
    point_data = ET.SubElement(piece, "PointData")
    ET.SubElement(piece, "CellData")
    blobs, offset = [], 0
    k = len(grid.shape)
    for name, values in data.items():
        values = np.asarray(values)
        if values.dtype == np.bool_:
            values = values.astype(np.uint8)
        components = int(np.prod(values.shape[k:], dtype=np.int64))
        values = values.reshape(grid.shape + (components,))
        if flips:
            values = np.flip(values, axis=flips)
        # Grid axes in image order x, y, z (one-point image axes inserted),
        # then z outermost so that x runs fastest.
        image_axes = [values.shape[a] if a is not None else 1 for a in order]
        values = np.transpose(values, [a for a in order if a is not None] + [k])
        values = values.reshape(image_axes + [components]).transpose(2, 1, 0, 3)
        little = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("<"))
        kind = _VTK_TYPES.get(little.dtype)
        if kind is None:
            raise TypeError(f"point_data[{name!r}] has dtype {values.dtype}, which VTK images cannot hold")
        ET.SubElement(point_data, "DataArray", type=kind, Name=name, NumberOfComponents=str(components),
                      format="appended", offset=str(offset))
        blob = np.uint64(little.nbytes).astype("<u8").tobytes() + little.tobytes()
        blobs.append(blob)
        offset += len(blob)
    ET.SubElement(root, "AppendedData", encoding="raw").text = "_"
    head, tail = ET.tostring(root, encoding="unicode").rsplit("_", 1)
    with open(path, "wb") as out:
        out.write(b'<?xml version="1.0"?>\n' + head.encode() + b"_")
        for blob in blobs:
            out.write(blob)
        out.write(tail.encode() + b"\n")


def _axis_counts(value, name, count):
    counts = np.atleast_1d(np.asarray(value))
    if counts.shape == (1,):
        counts = np.repeat(counts, count)
    if counts.shape != (count,):
        raise ValueError(f"{name} must be one count or {count} counts, got {value!r}")
    return tuple(as_count(n, name, minimum=1) for n in counts)


def _axis_sizes(value, name, count):
    sizes = np.atleast_1d(np.asarray(value, dtype=np.float64))
    if sizes.shape == (1,):
        sizes = np.repeat(sizes, count)
    if sizes.shape != (count,) or not np.all(np.isfinite(sizes) & (sizes >= 0.0)):
        raise ValueError(f"{name} must be one or {count} non-negative lengths in m, got {value!r}")
    return sizes


def _centred(center, directions, sizes, shape):
    """Grid of ``shape`` points spanning ``sizes`` along the unit
    ``directions``, centred on ``center`` (an axis of one point sits on the
    centre)."""
    origin, steps = center.copy(), []
    for direction, size, count in zip(directions, sizes, shape):
        if count > 1:
            origin -= direction * (size / 2.0)
            steps.append(direction * (size / (count - 1)))
        else:
            steps.append(direction)  # any non-zero step: never taken
    return Grid(origin, steps, shape)


def line(start, end, n):
    """``n`` equally spaced points from ``start`` to ``end`` (both included), in m."""
    start, end = as_vector(start, "start"), as_vector(end, "end")
    n = as_count(n, "n", minimum=2)
    if np.array_equal(start, end):
        raise ValueError("start and end must differ")
    return Grid(start, [(end - start) / (n - 1)], (n,))


def plane(size, shape, center=(0.0, 0.0, 0.0), normal=(0.0, 0.0, 1.0), *, u=None):
    """Points on a rectangle perpendicular to ``normal``, centred on ``center``.

    Parameters
    ----------
    size : float or (2,) floats
        Side lengths along the rectangle's u and v axes, in m.
    shape : int or (2,) ints
        Points along u and v (>= 1).
    center : array_like, shape (3,)
        Centre of the rectangle in m.
    normal : array_like, shape (3,)
        Normal of the plane. For a coordinate axis, u and v are the other
        two in cyclic order (normal z: u = x, v = y; x: u = y, v = z;
        y: u = z, v = x); otherwise u is the projection of the coordinate
        axis most perpendicular to the normal, and v = normal x u.
    u : array_like, shape (3,), optional
        Direction of the u axis (projected into the plane).

    Returns
    -------
    Grid
        Shape (nu, nv); values come back as (nu, nv, ...).
    """
    normal = as_vector(normal, "normal")
    if not np.linalg.norm(normal) > 0.0:
        raise ValueError("normal must be a non-zero vector")
    normal = normal / np.linalg.norm(normal)
    if u is None:
        axis = int(np.abs(normal).argmax())
        u = np.eye(3)[(axis + 1) % 3] if np.abs(normal).max() == 1.0 else np.eye(3)[np.abs(normal).argmin()]
    u = as_vector(u, "u")
    u = u - (u @ normal) * normal
    if not np.linalg.norm(u) > 1e-12:
        raise ValueError("u must not be parallel to the normal")
    u = u / np.linalg.norm(u)
    v = np.cross(normal, u)
    return _centred(as_vector(center, "center"), [u, v], _axis_sizes(size, "size", 2), _axis_counts(shape, "shape", 2))


def box(size, shape, center=(0.0, 0.0, 0.0)):
    """Points filling an axis-parallel box, like :func:`zandrel.box_mesh`.

    Parameters
    ----------
    size : float or (3,) floats
        Edge lengths (x, y, z) in m.
    shape : int or (3,) ints
        Points along x, y, z (>= 1).
    center : array_like, shape (3,)
        Centre of the box in m.

    Returns
    -------
    Grid
        Shape (nx, ny, nz); values come back as (nx, ny, nz, ...).
    """
    return _centred(as_vector(center, "center"), list(np.eye(3)), _axis_sizes(size, "size", 3),
                    _axis_counts(shape, "shape", 3))


def write_points(path, points, point_data=None, **kwargs):
    """Write scattered points with values through meshio (e.g. ``.vtu``:
    one vertex cell per point, shown by ParaView as points).

    Parameters
    ----------
    path : str or path-like
        The file; its suffix picks the format.
    points : array_like, shape (P, 3)
        The points in m.
    point_data : dict, optional
        ``{name: (P,) or (P, k) array}``.
    **kwargs
        Passed to ``meshio.write``.
    """
    import meshio
    points = as_points(points, "points")
    data = {}
    for name, values in (point_data or {}).items():
        values = np.asarray(values)
        if values.ndim == 0 or values.shape[0] != len(points):
            raise ValueError(f"point_data[{name!r}] must have one row per point ({len(points)}), "
                             f"got shape {values.shape}")
        data[name] = values
    cells = [("vertex", np.arange(len(points), dtype=np.int64).reshape(-1, 1))]
    meshio.write(os.fspath(path), meshio.Mesh(points, cells, point_data=data), **kwargs)
