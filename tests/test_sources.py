"""Field sources (currents, dipoles, sums) and the fields of solved models
of several bodies."""
import numpy as np
import pytest

import zandrel
from zandrel.constants import MU0

MM = 1e-3


def dipole_field(moment, r):
    d = np.linalg.norm(r, axis=-1, keepdims=True)
    return (3 * r * (r @ moment)[..., None] / d ** 2 - moment) / (4 * np.pi * d ** 3)


def test_dipoles_as_points_and_as_spheres(rng):
    positions, moments = rng.normal(size=(4, 3)), rng.normal(size=(4, 3))
    targets = rng.normal(size=(5, 2, 3)) * 4.0 + 10.0
    expected = sum(dipole_field(m, targets - p) for p, m in zip(positions, moments))
    points = zandrel.DipoleSource(positions, moments)
    np.testing.assert_allclose(points.field(targets), expected, rtol=1e-10)
    np.testing.assert_allclose(points.flux_density(targets), MU0 * expected, rtol=1e-10)
    # Inside a magnetised sphere: H = -M/3, B = mu0 2M/3.
    sphere = zandrel.DipoleSource([0.0, 0.0, 0.0], [0.0, 0.0, 4.0], radius=0.1)
    m = 4.0 / (4 / 3 * np.pi * 0.1 ** 3)
    np.testing.assert_allclose(sphere.field([0.01, 0.02, 0.0]), [0, 0, -m / 3], rtol=1e-12)
    np.testing.assert_allclose(sphere.flux_density([0.01, 0.02, 0.0]), [0, 0, MU0 * 2 * m / 3], rtol=1e-12)


def test_current_bar_against_the_finite_wire():
    # 100 A along a 1 m bar of 1 cm²: B at 5 cm from its middle as a thin
    # wire of that length (the square section adds (a/r)^4 terms).
    bar = zandrel.CurrentSource(zandrel.box_mesh((1.0, 0.01, 0.01), (100, 2, 2)), (1e6, 0.0, 0.0))
    r, half = 0.05, 0.5
    wire = MU0 * 100.0 / (4 * np.pi * r) * 2 * half / np.hypot(half, r)
    np.testing.assert_allclose(bar.flux_density([0.0, 0.0, r]), [0.0, -wire, 0.0], rtol=1e-4, atol=1e-12)
    with pytest.raises(ValueError, match=r"current_density must have shape \(2400, 3\)"):
        zandrel.CurrentSource(bar.mesh, np.zeros((3, 3)))


def test_sources_add_up_and_drive_a_solve(rng):
    coil = zandrel.CurrentSource(zandrel.box_mesh((0.1, 0.01, 0.01), (10, 1, 1), (0, 0, -0.03)), (1e7, 0, 0))
    dipole = zandrel.DipoleSource([0.02, 0.0, 0.0], [0.0, 0.0, 0.5])
    uniform = zandrel.UniformField((0.0, 1e3, 0.0))
    targets = rng.uniform(-0.01, 0.01, size=(7, 3))
    total = coil + dipole + uniform
    np.testing.assert_allclose(total.field(targets),
                               coil.field(targets) + dipole.field(targets) + uniform.field(targets), rtol=1e-13)
    np.testing.assert_allclose(sum([coil, dipole, uniform]).flux_density(targets), total.flux_density(targets))
    ball = zandrel.sphere_mesh(0.005, 3, region="iron")
    sol = zandrel.solve(ball, {"iron": zandrel.LinearMaterial(chi=100.0)}, total, tol=1e-9)
    same = zandrel.solve(ball, zandrel.LinearMaterial(chi=100.0), lambda p: total.field(p), tol=1e-9)
    np.testing.assert_allclose(sol.M, same.M, rtol=1e-9, atol=1e-9 * np.abs(sol.M).max())
    # The solved ball is a source too: the applied field plus its own; and it
    # adds to other sources.
    far = np.array([0.0, 0.0, 0.05])
    np.testing.assert_allclose(sol.field(far, exact=True), total.field(far) + zandrel.h_mag_tet4(*ball, sol.M, far),
                               rtol=1e-13)
    np.testing.assert_allclose((sol + dipole).field(far), sol.field(far) + dipole.field(far), rtol=1e-13)


def test_bodies_given_as_a_list_keep_their_names():
    magnet = zandrel.box_mesh(0.01, 2, region="magnet")
    plate = zandrel.box_mesh(0.01, 2, center=(0, 0, -0.012), region="plate")
    sol = zandrel.solve([magnet, plate], {"magnet": zandrel.PermanentMagnet(polarization=(0, 0, 1)),
                                          "plate": zandrel.LinearMaterial(chi=50.0)})
    assert list(sol.mesh.regions) == ["magnet", "plate"] and sol.mesh.n_elements == 96
    assert sol.M[sol.mesh.region("plate"), 2].mean() > 0  # magnetised by the magnet above it
    with pytest.raises(ValueError, match=r"mesh\[1\] has no regions"):
        zandrel.solve([magnet, zandrel.box_mesh(0.01, 2, center=(0, 0, -0.012))], {"magnet": zandrel.LinearMaterial(chi=1.0)})


def test_fields_anywhere_fast_and_exact():
    sol = zandrel.solve(zandrel.sphere_mesh(0.01, 5, region="iron"), {"iron": zandrel.LinearMaterial(chi=1000.0)},
                        (0.0, 0.0, 1e3), tol=1e-8)
    plane = zandrel.grid.plane(0.03, (13, 11), normal=(0, 1, 0), center=(0.0, 0.0013, 0.0))
    fast, exact = sol.field(plane), sol.field(plane, exact=True)
    assert fast.shape == (13, 11, 3)
    error = np.sqrt(np.mean(np.sum((fast - exact) ** 2, axis=-1)) / np.mean(np.sum(exact ** 2, axis=-1)))
    assert error < 1e-3  # the operator's documented accuracy
    b = sol.flux_density(plane, exact=True)
    inside = sol.locate(plane) >= 0
    np.testing.assert_allclose(b[inside], MU0 * (exact[inside] + sol.M[sol.locate(plane)[inside]]))
    np.testing.assert_allclose(b[~inside], MU0 * exact[~inside])
    assert sol.field([0.0, 0.0, 0.05]).shape == (3,)
    with pytest.raises(ValueError, match="exact=True evaluates here"):
        sol.field(plane, exact=True, chunk_size=100)
