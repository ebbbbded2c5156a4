"""Quick meshers: tetrahedral meshes of simple solids, NumPy only.

``sphere_mesh``: the cube [-1, 1]^3 is cut into ``divisions``^3 cells and every cell into six
tetrahedra around one of its main diagonals (Kuhn subdivision). Each cell's
subdivision is mirrored into its octant so that the shared diagonal runs from
the cell corner nearest the centre to the farthest one: neighbouring cells
then agree on every shared face (the mesh is conforming), with an even number
of divisions the mesh has the symmetry of the cube's three mirror planes, and
no element has all four nodes on the boundary (such elements would become
slivers on the sphere).

The lattice is then mapped onto the ball. An inner cube (a fraction of the
lattice) is kept straight; in the shell around it every node moves along its
ray from the centre, interpolating linearly between the inner cube's surface
and the sphere. The map is continuous and monotone along each ray, so the
elements keep their positive orientation (the tests check this over a range
of divisions), and the outer layer of nodes lies exactly on the sphere: the
mesh volume approaches 4/3 pi r^3 from below as the lattice is refined, and
element shapes stay bounded (radius ratio above 0.6).
"""
import itertools

import warnings

import numpy as np

from zandrel.mesh import Mesh, signed_volumes

__all__ = ["sphere_mesh", "divisions_for"]

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
    on the extended edges and face planes of other elements: the
    edge-integral field kernel (the octree's leaves) loses accuracy at such
    points. 0 gives the exact lattice.
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

    # Cells and their tetrahedra, each subdivision mirrored towards the outside.
    idx = np.arange(n)
    cells = np.stack(np.meshgrid(idx, idx, idx, indexing="ij"), axis=-1).reshape(-1, 3)
    mirrored = (2 * cells + 1 < n)[:, None, None, :]
    offsets = _kuhn_offsets()[None]
    corners = cells[:, None, None, :] + np.where(mirrored, 1 - offsets, offsets)
    side = n + 1
    connectivity = ((corners[..., 0] * side + corners[..., 1]) * side + corners[..., 2]).reshape(-1, 4)

    grid = -1.0 + 2.0 * np.arange(side) / n
    lattice = np.stack(np.meshgrid(grid, grid, grid, indexing="ij"), axis=-1).reshape(-1, 3)

    # Mirroring reverses the orientation of an odd number of cells' elements:
    # swap two nodes wherever the lattice element is negative.
    negative = signed_volumes(lattice, connectivity) < 0.0
    connectivity[negative, 1], connectivity[negative, 2] = (
        connectivity[negative, 2].copy(), connectivity[negative, 1].copy())

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
