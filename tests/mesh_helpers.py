"""Small tetrahedral meshes for the tests, built with NumPy only.

Every generator returns (nodes (N, 3) float64, connectivity (E, 4) uint32) with
positively oriented elements: (n1 - n0) . ((n2 - n0) x (n3 - n0)) > 0.
"""
import itertools
from collections import Counter

import numpy as np


def signed_volumes(nodes, conn):
    a, b, c, d = (nodes[conn[:, k].astype(np.int64)] for k in range(4))
    return np.einsum("ij,ij->i", b - a, np.cross(c - a, d - a)) / 6.0


def box_mesh(n, lo=(0.0, 0.0, 0.0), hi=(1.0, 1.0, 1.0)):
    """The box [lo, hi] cut into n^3 cells, six tetrahedra per cell.

    The cells share the split along their main diagonal (Freudenthal), so
    neighbouring cells meet in common triangles and the mesh is conforming.
    """
    axes = [np.linspace(lo[k], hi[k], n + 1) for k in range(3)]
    x, y, z = np.meshgrid(*axes, indexing="ij")
    nodes = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    i, j, k = (a.ravel() for a in np.meshgrid(*(np.arange(n),) * 3, indexing="ij"))

    def node(step):
        return ((i + step[0]) * (n + 1) + (j + step[1])) * (n + 1) + (k + step[2])

    unit = np.eye(3, dtype=np.int64)
    tets = []
    for perm in itertools.permutations(range(3)):
        steps = np.cumsum(unit[list(perm)], axis=0)
        path = [node((0, 0, 0))] + [node(s) for s in steps]
        if round(np.linalg.det(unit[list(perm)])) < 0:  # odd path: swap to keep the orientation positive
            path[2], path[3] = path[3], path[2]
        tets.append(np.stack(path, axis=1))
    conn = np.stack(tets, axis=1).reshape(-1, 4).astype(np.uint32)
    assert np.all(signed_volumes(nodes, conn) > 0)
    return nodes, conn


def ball_mesh(n, radius=1.0, centre=(0.0, 0.0, 0.0)):
    """A ball: the box [-1, 1]^3 of (2n)^3 cells mapped radially so that each
    cube shell |p|_inf = s lands on the sphere |p|_2 = s. The box faces become
    the sphere, meshed with triangles whose corners lie on it."""
    nodes, conn = box_mesh(2 * n, (-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
    inf_norm = np.abs(nodes).max(axis=1)
    two_norm = np.linalg.norm(nodes, axis=1)
    scale = np.divide(inf_norm, two_norm, out=np.ones_like(two_norm), where=two_norm > 0)
    nodes = nodes * scale[:, None] * radius + np.asarray(centre)
    assert np.all(signed_volumes(nodes, conn) > 0)
    return nodes, conn



def faces_of(connectivity):
    """Every element face as a sorted node triple, with how many elements share it."""
    faces = np.concatenate([connectivity[:, [1, 2, 3]], connectivity[:, [0, 2, 3]],
                            connectivity[:, [0, 1, 3]], connectivity[:, [0, 1, 2]]])
    return Counter(map(tuple, np.sort(faces, axis=1).tolist()))


def radius_ratio(nodes, connectivity):
    """3 * inradius / circumradius: 1 for the regular tetrahedron, 0 for a flat one."""
    a, b, c, d = (nodes[connectivity[:, k]] for k in range(4))
    vol = np.abs(signed_volumes(nodes, connectivity))
    area = sum(0.5 * np.linalg.norm(np.cross(q - p, r - p), axis=1)
               for p, q, r in ((b, c, d), (a, c, d), (a, b, d), (a, b, c)))
    edges = np.stack([b - a, c - a, d - a], axis=1)
    rhs = 0.5 * np.einsum("ijk,ijk->ij", edges, edges)
    circumcentre = np.linalg.solve(edges, rhs[..., None])[..., 0]
    return 3.0 * (3.0 * vol / area) / np.linalg.norm(circumcentre, axis=1)


def kuhn_box_and_aligned_grid(cells=6, shift=0.0):
    """The unit cube as a box_mesh of cells^3 cells and the evaluation grid
    linspace(-0.5, 1.5, 9)^3 without the points closer than 0.2 to the cube,
    moved by `shift` along (1, 1, 1). Many grid points lie in the planes of
    mesh faces (x = k/cells, the diagonal planes x - y = k/cells, ...), and
    the shift keeps them in the diagonal ones."""
    nodes, conn = box_mesh(cells)
    g = np.linspace(-0.5, 1.5, 9)
    grid = np.stack(np.meshgrid(g, g, g, indexing="ij"), axis=-1).reshape(-1, 3)
    outside = np.linalg.norm(grid - np.clip(grid, 0.0, 1.0), axis=1) >= 0.2 - 1e-12
    return nodes, conn, grid[outside] + shift
