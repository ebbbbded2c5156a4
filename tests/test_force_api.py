"""Forces in SI units: the wrappers against the native functions, an exact
linear field, and the Maxwell and Kelvin routes against each other."""
import numpy as np
import pytest

import _zandrel
import zandrel
from zandrel.constants import MU0


def test_wrappers_match_the_native_functions(rng):
    mesh = zandrel.box_mesh(0.01, 2)
    _, areas, centroids, normals = mesh.boundary()
    b = rng.normal(size=(len(areas), 3))
    np.testing.assert_array_equal(zandrel.maxwell_surface_forces(areas, normals, b),
                                  _zandrel.mesh_surface_forces(areas, normals, b))
    m, h = rng.normal(size=(mesh.n_elements, 3)), rng.normal(size=(mesh.n_nodes, 3))
    np.testing.assert_array_equal(zandrel.kelvin_force_density(mesh.nodes, mesh.elements.astype(np.int64), m, h),
                                  MU0 * _zandrel.mesh_kelvin_force_density(mesh.nodes, mesh.elements, m, h))
    with pytest.raises(ValueError, match=r"b_field must have shape \(%d, 3\)" % len(areas)):
        zandrel.maxwell_surface_forces(areas, normals, b[:-1])
    with pytest.raises(ValueError, match=r"h_nodes must have shape \(%d, 3\)" % mesh.n_nodes):
        zandrel.kelvin_force_density(*mesh, m, h[:-1])


def test_kelvin_force_and_torque_in_a_linear_field():
    # H = H0 + G x with G symmetric (curl-free) is linear, so the nodal
    # interpolation is exact: F = mu0 V G M, torque about the centre c
    # = mu0 V M x H(c).
    g = np.array([[1.0, 2.0, 0.5], [2.0, -3.0, 1.0], [0.5, 1.0, 2.0]]) * 1e6
    h0, m, c = np.array([1e3, -2e3, 5e2]), np.array([1e5, 3e5, -8e5]), np.array([0.01, 0.02, -0.01])
    mesh = zandrel.box_mesh((0.01, 0.02, 0.005), (3, 4, 2), c)
    force, torque = zandrel.kelvin_force(*mesh, m, h0 + mesh.nodes @ g.T, about=c)
    volume = 0.01 * 0.02 * 0.005
    np.testing.assert_allclose(force, MU0 * volume * g @ m, rtol=1e-12)
    np.testing.assert_allclose(torque, MU0 * volume * np.cross(m, h0 + g @ c), rtol=1e-9)


def test_maxwell_and_kelvin_agree_between_two_magnets():
    # Force and torque on magnet A from magnet B: Kelvin with B's field
    # over A's volume, Maxwell with the total flux density on a box around
    # A; and the reaction on B.
    a = zandrel.box_mesh(0.01, 8)
    b = zandrel.box_mesh(0.01, 8, center=(0.002, 0.0, 0.015))
    m_a, m_b = np.array([0.0, 0.0, 8e5]), np.array([1e5, 0.0, 8e5])
    kelvin, kelvin_torque = zandrel.kelvin_force(*a, m_a, zandrel.h_mag_tet4(*b, m_b, a.nodes))
    reaction, _ = zandrel.kelvin_force(*b, m_b, zandrel.h_mag_tet4(*a, m_a, b.nodes))
    _, areas, centroids, normals = zandrel.box_mesh(0.014, 16).boundary()
    magnets = np.vstack([np.tile(m_a, (a.n_elements, 1)), np.tile(m_b, (b.n_elements, 1))])
    flux = zandrel.b_mag_tet4(*a.merge(b), magnets, centroids)
    maxwell, maxwell_torque = zandrel.maxwell_force(areas, centroids, normals, flux)
    scale = np.linalg.norm(maxwell)
    assert 5.0 < scale < 8.0  # newtons: two 1 T cubes of 1 cm, 5 mm apart
    np.testing.assert_allclose(kelvin, maxwell, atol=0.015 * scale)
    np.testing.assert_allclose(reaction, -kelvin, atol=0.005 * scale)
    np.testing.assert_allclose(kelvin_torque, maxwell_torque, atol=0.01 * np.linalg.norm(maxwell_torque))
