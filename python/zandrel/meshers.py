"""Quick meshers: tetrahedral meshes of simple solids, NumPy only.

``box_mesh`` and ``sphere_mesh`` start from a lattice of cells, each cut into
six tetrahedra around one of its main diagonals (Kuhn subdivision). Each cell's
subdivision is mirrored into its octant so that the shared diagonal runs from
the cell corner nearest the centre to the farthest one: neighbouring cells
then agree on every shared face (the mesh is conforming), with an even number
of divisions the mesh has the symmetry of the cube's three mirror planes, and
no element has all four nodes on the boundary (such elements would become
slivers on the sphere).

``sphere_mesh`` cuts the cube [-1, 1]^3 into ``divisions``^3 cells and maps
the lattice onto the ball. An inner cube (a fraction of the
lattice) is kept straight; in the shell around it every node moves along its
ray from the centre, interpolating linearly between the inner cube's surface
and the sphere. The map is continuous and monotone along each ray, so the
elements keep their positive orientation (the tests check this over a range
of divisions), and the outer layer of nodes lies exactly on the sphere: the
mesh volume approaches 4/3 pi r^3 from below as the lattice is refined, and
element shapes stay bounded (radius ratio above 0.6).

``cylinder_mesh`` extrudes a disk of concentric rings of triangles and cuts
each prism into three tetrahedra (see its docstring).
"""
import itertools

import warnings

import numpy as np

from zandrel._convert import as_count, as_positive, as_vector
from zandrel.mesh import Mesh, signed_volumes

__all__ = ["box_mesh", "cylinder_mesh", "sphere_mesh", "divisions_for"]

# Share of the lattice's half-width given to the curved shell. With 0.35 the
# inner cube reaches 0.3 of the radius: small enough that the shell's radial
# layers are not crushed at the cube's corners, large enough that the shell
# elements are not stretched along the axes.
_SHELL_FRACTION = 0.35


def _kuhn_offsets():
    """Corner offsets (6, 4, 3) of the six tetrahedra of a unit cell: one per
    order of the axes, the path (0,0,0) -> ... -> (1,1,1) stepping one axis at
    a time."""
    tets = []
    for order in itertools.permutations(range(3)):
        corner = [0, 0, 0]
        path = [tuple(corner)]
        for axis in order:
            corner[axis] = 1
            path.append(tuple(corner))
        tets.append(path)
    return np.array(tets, dtype=np.int64)


def divisions_for(elements):
    """Lattice divisions per axis whose mesh has about ``elements`` elements
    (6 per cell); at least 2."""
    return max(2, int(round((max(elements, 1) / 6.0) ** (1.0 / 3.0))))


def _orient(nodes, connectivity):
    """Swaps nodes 1 and 2 of the negatively oriented elements, in place."""
    negative = signed_volumes(nodes, connectivity) < 0.0
    connectivity[negative, 1], connectivity[negative, 2] = (
        connectivity[negative, 2].copy(), connectivity[negative, 1].copy())


def _kuhn_lattice(divisions):
    """Mirrored Kuhn subdivision of a lattice of (nx, ny, nz) cells.

    Returns the integer lattice position (N, 3) of every node, node
    (i, j, k) at index (i (ny + 1) + j)(nz + 1) + k, and the connectivity
    (6 nx ny nz, 4) int64, positively oriented on the lattice (and on any
    lattice stretched by positive factors per axis). Each cell's six
    tetrahedra share the diagonal from the cell corner nearest the middle of
    the lattice to the farthest one (the subdivision mirrored into the
    cell's octant): neighbouring cells then agree on every shared face, and
    with even divisions the mesh has the three mirror symmetries of the box.
    """
    nx, ny, nz = divisions
    cells = np.stack(np.meshgrid(np.arange(nx), np.arange(ny), np.arange(nz), indexing="ij"), axis=-1).reshape(-1, 3)
    mirrored = (2 * cells + 1 < np.array([nx, ny, nz]))[:, None, None, :]
    offsets = _kuhn_offsets()[None]
    corners = cells[:, None, None, :] + np.where(mirrored, 1 - offsets, offsets)
    connectivity = ((corners[..., 0] * (ny + 1) + corners[..., 1]) * (nz + 1) + corners[..., 2]).reshape(-1, 4)
    lattice = np.stack(np.meshgrid(np.arange(nx + 1), np.arange(ny + 1), np.arange(nz + 1), indexing="ij"),
                       axis=-1).reshape(-1, 3)
    # Mirroring reverses the orientation of an odd number of cells' elements.
    _orient(lattice, connectivity)
    return lattice, connectivity


def _per_axis(value, name, kind):
    """A scalar or a 3-sequence as a (3,) array of ``kind`` (int or float)."""
    array = np.asarray(value)
    if array.ndim == 0:
        array = np.full(3, array)
    if array.shape != (3,):
        raise ValueError(f"{name} must be a number or 3 numbers (x, y, z), got shape {array.shape}")
    if kind is int:
        if not np.issubdtype(array.dtype, np.integer):
            raise TypeError(f"{name} must be integers, got {value!r}")
        if np.any(array < 1):
            raise ValueError(f"{name} must be at least 1 per axis, got {array.tolist()}")
        return array.astype(np.int64)
    if not np.issubdtype(array.dtype, np.number) or np.iscomplexobj(array):
        raise TypeError(f"{name} must be real numbers, got {value!r}")
    array = array.astype(np.float64)
    if not np.all(np.isfinite(array) & (array > 0.0)):
        raise ValueError(f"{name} must be positive and finite per axis, got {array.tolist()}")
    return array


def box_mesh(size, divisions, center=(0.0, 0.0, 0.0), *, region=None):
    """Mesh of an axis-parallel box.

    Parameters
    ----------
    size : float or array_like, shape (3,)
        Edge lengths (x, y, z) in m; a number for a cube.
    divisions : int or array_like of int, shape (3,)
        Cells per axis; every cell is cut into six tetrahedra.
    center : array_like, shape (3,), default (0, 0, 0)
        Centre of the box in m.
    region : str, optional
        Name of a region holding every element.

    Returns
    -------
    Mesh
        (nx + 1)(ny + 1)(nz + 1) nodes on the regular lattice and
        6 nx ny nz positively oriented elements. Neighbouring cells share
        their face diagonals (a conforming Kuhn subdivision, mirrored about
        the box's middle planes so that with even divisions the mesh has the
        box's mirror symmetries, which symmetric fields keep).
    """
    size = _per_axis(size, "size", float)
    divisions = _per_axis(divisions, "divisions", int)
    center = as_vector(center, "center")
    lattice, connectivity = _kuhn_lattice(divisions)
    # (2 i - n) / (2 n) is exactly antisymmetric about the middle: mirror
    # images of nodes are mirror images to the last bit.
    nodes = (2 * lattice - divisions) / (2.0 * divisions) * size + center
    return Mesh(nodes, connectivity, region, repair=False)


def _disk(n):
    """Unit disk as n rings of triangles: ring k (radius k/n) has 6k nodes
    at equal angles, each annulus is zipped to its inner neighbour by angle.
    Returns points (1 + 3n(n+1), 2) and counter-clockwise triangles
    (6n^2, 3); edges are about 1/n long, the triangles nearly equilateral."""
    points, triangles = [np.zeros((1, 2))], []
    inner = [0]
    for k in range(1, n + 1):
        angles = 2.0 * np.pi * np.arange(6 * k) / (6 * k)
        start = 1 + 3 * k * (k - 1)
        outer = list(range(start, start + 6 * k))
        points.append(k / n * np.stack([np.cos(angles), np.sin(angles)], axis=1))
        m, p = len(inner), len(outer)
        steps = m if k > 1 else 0  # the centre is a single node, not a ring of edges
        i = o = 0
        while i < steps or o < p:
            # Step along the ring whose next node comes first in angle
            # ((o + 1) / p against (i + 1) / m, in integers; on a tie the
            # inner ring, which keeps the corner triangles of a sector fat).
            if o < p and (i == steps or (o + 1) * m < (i + 1) * p):
                triangles.append((inner[i % m], outer[o], outer[(o + 1) % p]))
                o += 1
            else:
                triangles.append((inner[i % m], outer[o % p], inner[(i + 1) % m]))
                i += 1
        inner = outer
    return np.concatenate(points), np.array(triangles, dtype=np.int64)


def _rotation_from_z(axis):
    """Proper rotation taking (0, 0, 1) to the unit vector along ``axis``."""
    length = np.linalg.norm(axis)
    if not length > 0.0:
        raise ValueError("axis must be a non-zero vector")
    a = axis / length
    c = a[2]
    if c < -1.0 + 1e-12:
        return np.diag([1.0, -1.0, -1.0])  # half a turn about x
    v = np.array([-a[1], a[0], 0.0])  # (0, 0, 1) x a
    cross = np.array([[0.0, -v[2], v[1]], [v[2], 0.0, -v[0]], [-v[1], v[0], 0.0]])
    return np.eye(3) + cross + cross @ cross / (1.0 + c)


def cylinder_mesh(radius, height, divisions=8, layers=None, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0), *,
                  region=None):
    """Mesh of a solid circular cylinder.

    The cross-section is a disk of ``divisions`` rings of nearly equilateral
    triangles (ring k has 6k nodes), extruded in ``layers`` layers along the
    axis; each prism is cut into three tetrahedra, always along the quad
    diagonal from the lower-numbered node, so that neighbouring prisms agree
    on every shared face.

    Parameters
    ----------
    radius : float
        Radius in m.
    height : float
        Length along the axis in m.
    divisions : int, default 8
        Rings of the cross-section (edges about radius / divisions long).
    layers : int, optional
        Layers along the axis; by default about height / (radius /
        divisions), which makes the elements about as tall as wide.
    center : array_like, shape (3,), default (0, 0, 0)
        Middle of the cylinder (on its axis, half-way up), in m.
    axis : array_like, shape (3,), default (0, 0, 1)
        Direction of the axis (any length).
    region : str, optional
        Name of a region holding every element.

    Returns
    -------
    Mesh
        (1 + 3 d (d + 1)) (layers + 1) nodes, 18 d^2 layers positively
        oriented elements (d = divisions). The nodes of the curved surface
        lie on the cylinder, so the mesh volume is that of the inscribed
        prism on a 6d-gon, 3 d sin(pi / (3 d)) r^2 h, which approaches
        pi r^2 h from below like 1/d^2.
    """
    radius, height = as_positive(radius, "radius"), as_positive(height, "height")
    n = as_count(divisions, "divisions", minimum=1)
    layers = max(1, int(round(height / (radius / n)))) if layers is None else as_count(layers, "layers", minimum=1)
    center = as_vector(center, "center")
    rotation = _rotation_from_z(as_vector(axis, "axis"))

    disk, triangles = _disk(n)
    count = len(disk)
    z = (2 * np.arange(layers + 1) - layers) / (2.0 * layers) * height
    local = np.concatenate([np.column_stack([disk * radius, np.full(count, zk)]) for zk in z])
    # Prism (a, b, c) -> (a', b', c') with a < b < c: every quad face is cut
    # from its lower-numbered bottom node to the other top node.
    a, b, c = np.sort(triangles, axis=1).T
    up = count  # node offset from one layer to the next
    prism = np.stack([np.stack([a, b, c, c + up], axis=1), np.stack([a, b, b + up, c + up], axis=1),
                      np.stack([a, a + up, b + up, c + up], axis=1)], axis=1).reshape(-1, 4)
    connectivity = np.concatenate([prism + layer * count for layer in range(layers)])
    _orient(local, connectivity)
    return Mesh(local @ rotation.T + center, connectivity, region, repair=False)


def sphere_mesh(radius=1.0, divisions=8, center=(0.0, 0.0, 0.0), *, jitter=0.05, seed=0, region=None,
                centre=None):
    """Mesh of the ball of ``radius`` (m) around ``center``.

    Returns a :class:`zandrel.Mesh` with N = (divisions + 1)^3 nodes and
    M = 6 divisions^3 elements, every element positively oriented; ``region``
    names a region holding all of them. The mesh unpacks as
    ``nodes, connectivity = sphere_mesh(...)``: (N, 3) float64 and (M, 4)
    uint32, C-contiguous, ready for the functions of ``_zandrel``.
    (``centre`` is the former spelling of ``center``.)

    ``jitter`` moves every interior node by up to that fraction of the
    lattice spacing per axis (pseudo-random from ``seed``, mirrored with the
    mesh so that its mirror symmetry survives; nodes on the sphere stay put).
    It breaks the exact alignments of a lattice, where element centroids lie
    on the extended edges and in the face planes of other elements (both
    field kernels are accurate there too). 0 gives the exact lattice.
    """
    if centre is not None:
        warnings.warn("sphere_mesh(centre=...) is deprecated; use center=...", DeprecationWarning, stacklevel=2)
        center = centre
    n = int(divisions)
    if n < 1:
        raise ValueError("divisions must be at least 1")
    if not radius > 0.0:
        raise ValueError("radius must be positive")
    if not 0.0 <= jitter <= 0.2:
        raise ValueError("jitter must lie in [0, 0.2]")

    lattice, connectivity = _kuhn_lattice((n, n, n))
    lattice = -1.0 + 2.0 * lattice / n
    lattice += _mirrored_jitter(n, jitter, seed)
    nodes = _map_to_ball(lattice, n)
    nodes = nodes * float(radius) + np.asarray(center, dtype=np.float64)
    return Mesh(nodes, connectivity, region, repair=False)


def _mirrored_jitter(n, amplitude, seed):
    """Displacements (N, 3) of the lattice nodes, up to ``amplitude`` lattice
    spacings per axis. A node's displacement is drawn for its distance (in
    cells) from the nearest lattice face on each axis and mirrored to its side
    of the centre, so nodes that are mirror images move as mirror images; on
    a mirror plane the normal component is zero, on the lattice's boundary
    (the sphere) the whole displacement is."""
    side = n + 1
    idx = np.arange(side)
    depth = np.minimum(idx, n - idx)  # 0 on the lattice boundary
    sign = np.sign(2 * idx - n).astype(np.float64)  # 0 on the mirror plane
    table = np.random.default_rng(seed).uniform(-1.0, 1.0, size=(n // 2 + 1,) * 3 + (3,))
    i, j, k = (a.ravel() for a in np.meshgrid(idx, idx, idx, indexing="ij"))
    shift = table[depth[i], depth[j], depth[k]] * np.stack([sign[i], sign[j], sign[k]], axis=1)
    interior = (depth[i] > 0) & (depth[j] > 0) & (depth[k] > 0)
    return shift * (interior[:, None] * (amplitude * 2.0 / n))


def _map_to_ball(lattice, n):
    """Unit-ball positions of the lattice nodes of [-1, 1]^3 (see module text)."""
    layers = max(1, int(round(_SHELL_FRACTION * n)))
    # Half-width of the straight inner cube: at most 1/2 (n = 4), below
    # 1/sqrt(3) as the map's monotonicity along the cube's diagonals needs;
    # 0 (no inner cube) for the coarsest lattices.
    inner = max(0.0, 1.0 - 2.0 * layers / n)
    s = np.abs(lattice).max(axis=1)  # which cube shell the node is on
    nodes = lattice.copy()
    # Nodes on or inside the inner cube stay; a small margin absorbs rounding of the grid.
    shell = s > inner + 1e-12
    direction = lattice[shell] / s[shell, None]  # on the surface of the unit cube
    length = np.linalg.norm(direction, axis=1)  # 1 ... sqrt(3)
    t = (s[shell] - inner) / (1.0 - inner)
    # Radius along the ray: from the inner cube's surface (t = 0) to the sphere (t = 1).
    rho = (1.0 - t) * inner * length + t
    nodes[shell] = direction / length[:, None] * rho[:, None]
    return nodes
