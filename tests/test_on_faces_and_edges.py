"""Targets on the faces, edges and nodes inside a mesh, as users place them:
slices along a mirror plane or a layer of faces, grids through the nodes.
The field of a uniformly magnetised body is continuous across the faces
inside it (the surface charges of the two elements that share a face
cancel), so there it must equal the field just beside; on the outer surface
a target gets the mean of the fields inside and outside. Current-carrying
elements give a continuous field everywhere."""
import numpy as np
import pytest

import _zandrel
from analytic_fields import cuboid_field
from mesh_helpers import box_mesh
from zandrel import sphere_mesh

M = np.array([0.3, -0.2, 1.0])
NUDGE = np.array([0.3, 0.5, 0.8]) * 1e-9  # 1e-9 of the body's size
KINDS = ["face", "edge", "octree"]


def field(kind, nodes, conn, targets):
    """H of the uniformly magnetised mesh ('face', 'edge', 'octree') or of the
    mesh carrying J = M ('current face', 'current edge')."""
    v = np.tile(M, (len(conn), 1))
    if kind == "octree":
        return _zandrel.h_mag_tet4(nodes, conn, v, targets, 0.5, 8, 0, True, False)
    if kind.startswith("current"):
        return _zandrel.h_current_tet4_direct(nodes, conn, v, targets, 0, kind.endswith("edge"))
    return _zandrel.h_mag_tet4(nodes, conn, v, targets, 0.5, 8, 0, False, kind == "edge")


def grid(lo, hi, n):
    g = np.linspace(lo, hi, n)
    return [a.ravel() for a in np.meshgrid(g, g, indexing="ij")]


@pytest.mark.parametrize("kind, tol", [("face", 2e-3), ("edge", 2e-3), ("octree", 1e-2)])
def test_slice_on_the_mirror_plane_of_a_sphere(kind, tol):
    # The mirror plane z = 0 of the mesh is made of faces; the slice holds
    # the x and y axes (lines of edges) and the nodes on them. Inside a
    # uniformly magnetised sphere H = -M/3; measured here 1.1e-3 |M| (the
    # mesh's approximation of the sphere) for face and edge formulation,
    # 3.2e-3 for the octree at theta 0.5; against the nudged slice 6e-9,
    # 3e-8, 9e-7 |M|. Before, the slice was off by up to 3 |M|.
    nodes, conn = sphere_mesh(1.0, 8)
    x, y = grid(-0.6, 0.6, 25)
    slice_ = np.stack([x, y, np.zeros_like(x)], axis=1)[x**2 + y**2 <= 0.36]
    on = field(kind, nodes, conn, slice_)
    assert np.max(np.abs(on - field(kind, nodes, conn, slice_ + NUDGE))) < 1e-5
    assert np.max(np.abs(on + M / 3)) < tol * np.linalg.norm(M)


# Tolerances: nudged slice (relative to |M|, or to the largest |H| of the
# current), exact field of the cube (relative to |M|).
@pytest.mark.parametrize("kind, nudged, exact", [("face", 1e-6, 5e-5), ("edge", 5e-5, 5e-5), ("octree", 5e-5, 2e-2),
                                                 ("current face", 1e-6, None), ("current edge", 1e-6, None)])
def test_planes_of_faces_through_a_box(kind, nudged, exact):
    # A layer of faces (z = 1/2: nodes, lattice edges and the cells'
    # diagonals) and a diagonal plane of faces (x - y = 1/6) of the unit cube
    # cut into 6^3 cells. Measured against the exact field of the cube: face
    # 8e-6, edge 1.1e-5, octree 4.6e-3 |M|; against the nudged slices: face
    # 3e-7, edge 1.1e-5 (the accuracy of its arctangent), octree 9e-6 |M|,
    # current 1.5e-7 of the largest |H|. Before, the face formulation was off
    # by up to 1e21 |M|, the edge formulation by 88 |M|, the current face
    # formulation by the largest |H|.
    nodes, conn = box_mesh(6)
    x, y = grid(0.05, 0.95, 19)
    layer = np.stack([x, y, np.full_like(x, 0.5)], axis=1)
    diagonal = np.stack([x, x - 1 / 6, y], axis=1)
    targets = np.vstack([layer, diagonal[diagonal[:, 1] > 0.02]])
    on = field(kind, nodes, conn, targets)
    scale = np.abs(on).max() if exact is None else np.linalg.norm(M)
    assert np.max(np.abs(on - field(kind, nodes, conn, targets + NUDGE))) < nudged * scale
    if exact is not None:
        assert np.max(np.abs(on - cuboid_field(np.full(3, 0.5), np.full(3, 0.5), M, targets))) < exact * scale


@pytest.mark.parametrize("kind, tol", [("face", 1e-7), ("edge", 5e-5), ("octree", 5e-5)])
def test_targets_on_the_outer_surface_get_the_mean_of_both_sides(kind, tol):
    # The top face of the cube, its triangles' edges and nodes included (not
    # the cube's edges, where the field diverges logarithmically). The two
    # sides differ by M.n. Measured |on - mean|: face 3e-9, edge 1e-5,
    # octree 7.5e-6 |M| (before: 1.5, 116 and 116 |M|).
    nodes, conn = box_mesh(6)
    x, y = grid(0.1, 0.9, 9)
    top = np.stack([x, y, np.ones_like(x)], axis=1)
    step = np.array([0.0, 0.0, 1e-9])
    outside, inside = field(kind, nodes, conn, top + step), field(kind, nodes, conn, top - step)
    assert np.allclose((outside - inside)[:, 2], M[2], atol=1e-5)
    on = field(kind, nodes, conn, top)
    assert np.max(np.abs(on - (inside + outside) / 2)) < tol * np.linalg.norm(M)
