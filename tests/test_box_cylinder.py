"""Box and cylinder meshers: conforming, positively oriented, well shaped,
the right solid, placed and turned where asked."""
import math

import numpy as np
import pytest

import zandrel
from mesh_helpers import faces_of, radius_ratio


def boundary_nodes(mesh):
    counts = faces_of(mesh.elements.astype(np.int64))
    assert set(counts.values()) <= {1, 2}  # conforming: no face shared by three, no hanging faces
    boundary = np.array([face for face, n in counts.items() if n == 1])
    return boundary


@pytest.mark.parametrize("size, divisions", [(1.0, 1), (0.02, (2, 3, 4)), ((1.0, 2.0, 0.5), (4, 8, 2))])
def test_box_mesh_fills_the_box(size, divisions):
    center = np.array([0.1, -0.2, 0.3])
    mesh = zandrel.box_mesh(size, divisions, center, region="core")
    size, divisions = np.broadcast_to(size, 3), np.broadcast_to(divisions, 3)
    assert mesh.n_elements == 6 * np.prod(divisions) and list(mesh.regions) == ["core"]
    assert np.all(zandrel.signed_volumes(mesh.nodes, mesh.elements) > 0)
    assert mesh.volumes.sum() == pytest.approx(np.prod(size), rel=1e-12)
    lo, hi = mesh.bounds
    np.testing.assert_allclose(lo, center - size / 2, atol=1e-15)
    np.testing.assert_allclose(hi, center + size / 2, atol=1e-15)
    faces = boundary_nodes(mesh)
    # Every boundary face lies in one face plane of the box.
    on_plane = np.isclose(mesh.nodes[faces], lo, atol=1e-12) | np.isclose(mesh.nodes[faces], hi, atol=1e-12)
    assert np.all(on_plane.all(axis=1).any(axis=1))
    if np.ptp(size / divisions) == 0.0:  # cubic cells: six congruent Kuhn tetrahedra each
        np.testing.assert_allclose(radius_ratio(mesh.nodes, mesh.elements), 0.7174389352143, rtol=1e-9)


def test_box_mesh_is_mirror_symmetric_with_even_divisions():
    mesh = zandrel.box_mesh((1.0, 2.0, 3.0), (2, 4, 6))
    as_set = lambda points: set(map(tuple, (np.round(points, 12) + 0.0).tolist()))
    for axis in range(3):
        flip = np.ones(3)
        flip[axis] = -1.0
        assert as_set(mesh.centroids * flip) == as_set(mesh.centroids)


@pytest.mark.parametrize("divisions", [1, 2, 3, 5, 8])
def test_cylinder_mesh_boundary_on_the_cylinder(divisions):
    radius, height = 0.5, 1.5
    mesh = zandrel.cylinder_mesh(radius, height, divisions)
    assert np.all(zandrel.signed_volumes(mesh.nodes, mesh.elements) > 0)
    faces = mesh.nodes[boundary_nodes(mesh)]
    rho = np.linalg.norm(faces[..., :2], axis=-1)
    on_side = np.isclose(rho, radius, rtol=1e-13).all(axis=1)
    on_cap = np.isclose(np.abs(faces[..., 2]), height / 2, rtol=1e-13).all(axis=1)
    assert np.all(on_side | on_cap)
    # Every node within the cylinder.
    assert np.all(np.linalg.norm(mesh.nodes[:, :2], axis=1) <= radius * (1 + 1e-14))
    ratio = radius_ratio(mesh.nodes, mesh.elements)
    assert ratio.min() > 0.6 and ratio.mean() > 0.75
    # The volume of the inscribed prism on the 6d-gon.
    d = divisions
    assert mesh.volumes.sum() == pytest.approx(3 * d * math.sin(math.pi / (3 * d)) * radius**2 * height, rel=1e-12)


def test_cylinder_volume_converges_to_pi_r2_h():
    deficits = [1.0 - zandrel.cylinder_mesh(1.0, 0.5, d).volumes.sum() / (math.pi * 0.5) for d in (2, 4, 8, 16)]
    assert np.all(np.array(deficits) > 0)
    np.testing.assert_allclose(np.array(deficits[:-1]) / deficits[1:], 4.0, rtol=0.02)  # second order
    assert deficits[-1] < 1e-3


@pytest.mark.parametrize("axis", [(0, 0, 1), (1, 0, 0), (0, 0, -2), (1, 2, -0.5)])
def test_cylinder_axis_and_center(axis):
    center = np.array([1.0, -2.0, 0.5])
    base = zandrel.cylinder_mesh(0.3, 2.0, 3, layers=5)
    mesh = zandrel.cylinder_mesh(0.3, 2.0, 3, layers=5, center=center, axis=axis)
    unit = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    along = (mesh.nodes - center) @ unit
    np.testing.assert_allclose(along, base.nodes[:, 2], atol=1e-14)
    np.testing.assert_allclose(np.linalg.norm(mesh.nodes - center - along[:, None] * unit, axis=1),
                               np.linalg.norm(base.nodes[:, :2], axis=1), atol=1e-14)
    assert np.all(zandrel.signed_volumes(mesh.nodes, mesh.elements) > 0)


@pytest.mark.parametrize("call, error", [
    (lambda: zandrel.box_mesh(-1.0, 2), ValueError),
    (lambda: zandrel.box_mesh((1.0, 1.0), 2), ValueError),
    (lambda: zandrel.box_mesh(1.0, 0), ValueError),
    (lambda: zandrel.box_mesh(1.0, 2.5), TypeError),
    (lambda: zandrel.cylinder_mesh(0.0, 1.0), ValueError),
    (lambda: zandrel.cylinder_mesh(1.0, 1.0, axis=(0, 0, 0)), ValueError),
    (lambda: zandrel.cylinder_mesh(1.0, 1.0, layers=0), ValueError),
])
def test_bad_mesher_arguments(call, error):
    with pytest.raises(error):
        call()
