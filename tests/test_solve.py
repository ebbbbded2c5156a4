"""zandrel.solve against analytic bodies, its options, its failures, and the
Solution's fields. The exact direct-sum operator stands in for the fast one."""
import logging

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import zandrel
from mesh_helpers import box_mesh
from operator_reference import DirectOperator
from solve_cases import iron_curve, mean_magnetization, prolate_factors, scalar_sphere, spheroid_mesh

MU0 = zandrel.MU0
IRON = iron_curve()


def direct_solve(mesh, materials, applied=None, **options):
    return zandrel.solve(mesh, materials, applied, operator=DirectOperator(mesh), **options)


def true_residual(solution, operator):
    """|G(B) - H| / |G(μ0 H_applied) - H_applied|, recomputed from M alone."""
    mesh = solution.mesh
    h_applied = solution.applied.field(mesh.centroids)
    H = h_applied + operator.apply(solution.M)
    R = solution.materials.field_strength(MU0 * (H + solution.M)) - H
    R0 = solution.materials.field_strength(MU0 * h_applied) - h_applied
    return np.linalg.norm(R) / np.linalg.norm(R0), H


@pytest.mark.parametrize("divisions", [4, 6])
def test_soft_sphere_in_few_iterations(divisions):
    mesh = zandrel.sphere_mesh(0.02, divisions)
    operator = DirectOperator(mesh)
    sol = zandrel.solve(mesh, zandrel.LinearMaterial(chi=1000.0), (0.0, 0.0, 1e3), operator=operator, tol=1e-8)
    assert sol.converged and sol.iterations <= 80 and sol.newton_steps == 1
    residual, H = true_residual(sol, operator)
    assert residual <= 1e-8 and residual == pytest.approx(sol.residual, rel=1e-3)
    np.testing.assert_allclose(sol.H, H, rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(sol.B, MU0 * (sol.H + sol.M))
    np.testing.assert_allclose(mean_magnetization(sol), [0, 0, 3000.0 / 1003.0 * 1e3], rtol=2e-3, atol=1e-6)
    assert len(sol.residuals) == sol.iterations and sol.residuals[0] == 1.0


@pytest.mark.parametrize("chi", [10.0, 1000.0])
def test_prolate_spheroid_follows_its_demagnetising_factors(chi):
    sol = direct_solve(spheroid_mesh(6, ratio=2.0), zandrel.LinearMaterial(chi=chi), (1.0, 0.0, 1.0), tol=1e-8)
    nx, nz = prolate_factors(2.0)
    np.testing.assert_allclose(mean_magnetization(sol)[[0, 2]], [chi / (1 + chi * nx), chi / (1 + chi * nz)],
                               rtol=1e-2)


def test_anisotropic_sphere_follows_each_principal_susceptibility():
    rotation = Rotation.from_euler("xyz", [0.3, 0.5, 0.7]).as_matrix()
    chi = rotation @ np.diag([5.0, 20.0, 80.0]) @ rotation.T
    h0 = np.array([1.0, 2.0, 3.0])
    sol = direct_solve(zandrel.sphere_mesh(1.0, 4), zandrel.LinearMaterial(chi=chi), h0, tol=1e-8)
    # Along each principal axis: M_i = chi_i / (1 + chi_i/3) H0_i.
    np.testing.assert_allclose(mean_magnetization(sol), np.linalg.solve(np.eye(3) + chi / 3, chi @ h0), rtol=2e-3)


def test_magnet_sphere_with_recoil_and_its_fields():
    # M = Mr + chi_r H with H = H0 - M/3 inside: M = (Mr + chi_r H0) / (1 + chi_r/3).
    mr, chi_r, h0, radius = 1.2 / MU0, 0.05, np.array([0.0, 2e4, -1e5]), 0.01
    magnet = zandrel.PermanentMagnet(polarization=(0.0, 0.0, 1.2), recoil=chi_r)
    sol = direct_solve(zandrel.sphere_mesh(radius, 4), magnet, h0, tol=1e-10)
    expected = ([0.0, 0.0, mr] + chi_r * h0) / (1 + chi_r / 3)
    np.testing.assert_allclose(mean_magnetization(sol), expected, rtol=1e-3, atol=1e-6 * mr)
    # Far away the body is a dipole of moment M·V (exact volume of the mesh).
    moment = sol.mesh.volumes @ sol.M
    r = np.array([[0.1, 0.05, 0.2]])
    d = np.linalg.norm(r)
    dipole = (3 * r[0] * (moment @ r[0]) / d ** 2 - moment) / (4 * np.pi * d ** 3)
    np.testing.assert_allclose(sol.field(r)[0], h0 + dipole, rtol=1e-4)
    # B = mu0 (H + M) inside, mu0 H outside, in T.
    inside = sol.flux_density([0.001, 0.0, 0.0])
    np.testing.assert_allclose(inside, MU0 * (sol.field([0.001, 0.0, 0.0]) + sol.M[sol.locate([[0.001, 0, 0]])[0]]))
    np.testing.assert_allclose(sol.flux_density(r), MU0 * sol.field(r))


@pytest.mark.parametrize("h0", [1e5, 1e6])
def test_saturating_iron_sphere_against_the_scalar_equation(h0):
    sol = direct_solve(zandrel.sphere_mesh(1.0, 4), IRON, (0.0, 0.0, h0), tol=1e-7)
    assert sol.converged and sol.newton_steps > 1
    assert mean_magnetization(sol)[2] == pytest.approx(scalar_sphere(IRON, h0), rel=5e-3)


def test_magnet_and_saturating_iron_in_one_model_from_the_magnet_alone():
    magnet = zandrel.Mesh(*box_mesh(3, (-5e-3, -5e-3, -1e-2), (5e-3, 5e-3, 0.0)), regions="magnet")
    block = zandrel.Mesh(*box_mesh(3, (-6e-3, -6e-3, 1e-3), (6e-3, 6e-3, 1.3e-2)), regions="iron")
    mesh = magnet.merge(block)
    materials = {"magnet": zandrel.PermanentMagnet(polarization=(0, 0, 1.2), recoil=0.05), "iron": IRON}
    sol = direct_solve(mesh, materials, tol=1e-6)
    assert sol.converged
    iron = mesh.region("iron")
    assert mean_magnetization(sol)[2] > 0 and np.mean(sol.M[iron, 2]) > 1e5  # the block is pulled into the field
    assert np.all(np.linalg.norm(sol.M[iron], axis=1) <= IRON.saturation_magnetization * (1 + 1e-9))


def test_applied_fields_superpose_and_options_agree():
    mesh = zandrel.sphere_mesh(1.0, 3)
    iron = zandrel.LinearMaterial(chi=50.0)
    operator = DirectOperator(mesh)

    class Coil:  # any object with field(points) is a source
        def field(self, points):
            return np.column_stack([points[:, 1], points[:, 0], np.full(len(points), 2.0)])

    reference = zandrel.solve(mesh, iron, [(0.0, 0.0, 1.0), Coil(), lambda p: p * 3.0], operator=operator, tol=1e-10)
    combined = zandrel.solve(mesh, iron, lambda p: Coil().field(p) + p * 3.0 + [0, 0, 1], operator=operator, tol=1e-10)
    np.testing.assert_allclose(combined.M, reference.M, rtol=1e-8, atol=1e-8 * np.abs(reference.M).max())
    default = zandrel.solve(mesh, iron, Coil(), operator=operator, tol=1e-10)
    for preconditioner in ("tensor", "self", "none"):
        other = zandrel.solve(mesh, iron, Coil(), operator=operator, tol=1e-10, preconditioner=preconditioner)
        np.testing.assert_allclose(other.M, default.M, rtol=1e-7, atol=1e-7 * np.abs(default.M).max())
    warm = zandrel.solve(mesh, iron, [(0.0, 0.0, 1.0), Coil(), lambda p: p * 3.0], operator=operator, tol=1e-10,
                         x0=reference.M)
    assert warm.iterations <= 3
    # Another solved body is a source: the field of the first sphere acts on a second.
    moved = mesh.translated((3.0, 0.0, 0.0))
    second = zandrel.solve(moved, iron, reference, operator=DirectOperator(moved), tol=1e-8)
    np.testing.assert_allclose(second.H - second.operator.apply(second.M), reference.field(moved.centroids))


def test_locate_finds_the_containing_element(rng):
    sol = direct_solve(zandrel.sphere_mesh(1.0, 3), zandrel.LinearMaterial(chi=1.0), (0, 0, 1.0))
    points = rng.uniform(-1.2, 1.2, size=(400, 3))
    found = sol.locate(points)
    mesh = sol.mesh
    corners = mesh.nodes[mesh.elements.astype(np.int64)]
    lam = np.linalg.solve(np.transpose(corners[:, 1:] - corners[:, :1], (0, 2, 1))[None],
                          (points[:, None] - corners[None, :, 0])[..., None])[..., 0]
    inside = (lam >= -1e-12).all(axis=2) & (lam.sum(axis=2) <= 1 + 1e-12)
    np.testing.assert_array_equal(found >= 0, inside.any(axis=1))
    assert inside[np.flatnonzero(found >= 0), found[found >= 0]].all()


def test_progress_goes_to_logging_and_callback_never_to_stdout(caplog, capfd):
    calls = []
    with caplog.at_level(logging.DEBUG, logger="zandrel"):
        sol = direct_solve(zandrel.sphere_mesh(1.0, 3), IRON, (0, 0, 1e4), tol=1e-6,
                           callback=lambda k, r: calls.append((k, r)))
    assert [k for k, _ in calls] == list(range(1, sol.newton_steps + 1))
    np.testing.assert_array_equal([r for _, r in calls], sol.residuals[1:])
    assert any("Newton step 1" in m for m in caplog.messages) and "converged" in caplog.messages[-1]
    assert capfd.readouterr().out == ""


def test_no_convergence_warns_or_raises_and_never_returns_nan():
    mesh = zandrel.sphere_mesh(1.0, 3)
    with pytest.warns(zandrel.ConvergenceWarning, match="iteration limit of 5"):
        sol = direct_solve(mesh, zandrel.LinearMaterial(chi=1000.0), (0, 0, 1.0), tol=1e-12, maxiter=5)
    assert not sol.converged and sol.iterations <= 5 and np.isfinite(sol.M).all()
    with pytest.raises(zandrel.ConvergenceError, match="did not reach") as failure:
        direct_solve(mesh, IRON, (0, 0, 1e5), tol=1e-12, maxiter=6, on_failure="raise")
    assert failure.value.solution is not None and not failure.value.solution.converged

    class Broken(DirectOperator):
        def apply(self, m):
            return np.where(np.abs(m) > 0.5, np.nan, super().apply(m))

    with pytest.raises(zandrel.ConvergenceError, match="non-finite"):
        zandrel.solve(mesh, zandrel.LinearMaterial(chi=10.0), (0, 0, 1.0), operator=Broken(mesh))


def test_nothing_to_magnetise_gives_zero_without_work():
    sol = direct_solve(zandrel.sphere_mesh(1.0, 2), zandrel.LinearMaterial(chi=100.0))
    assert sol.converged and sol.iterations == 0 and not sol.M.any()


@pytest.mark.parametrize("change, error, match", [
    (dict(mesh=(np.zeros((4, 3)), [[0, 1, 2, 3]])), TypeError, "zandrel.Mesh"),
    (dict(applied=(0, 0)), ValueError, "applied must be a 3-vector"),
    (dict(applied="north"), TypeError, "applied must be a field"),
    (dict(applied=lambda p: p[:, :2]), ValueError, r"shape \(48, 3\)"),
    (dict(applied=lambda p: p * np.nan), ValueError, "non-finite field"),
    (dict(tol=-1.0), ValueError, "tol must be positive"),
    (dict(maxiter=2.5), TypeError, "maxiter must be an integer"),
    (dict(x0=np.zeros((3, 48))), ValueError, "x0 must have shape"),
    (dict(preconditioner="jacobi"), ValueError, "preconditioner must be one of"),
    (dict(on_failure="ignore"), ValueError, "on_failure"),
    (dict(callback=3), TypeError, "callback must be callable"),
    (dict(operator=DirectOperator(zandrel.sphere_mesh(1.0, 3))), ValueError, "operator must belong"),
])
def test_bad_arguments_are_named(change, error, match):
    mesh = zandrel.sphere_mesh(1.0, 2)
    arguments = dict(mesh=mesh, materials=zandrel.LinearMaterial(chi=10.0), applied=(0, 0, 1.0),
                     operator=DirectOperator(mesh))
    arguments.update(change)
    with pytest.raises(error, match=match):
        zandrel.solve(**arguments)


# The reference sums the face kernel with its fast arctangent, which is itself
# about 1.5e-5 off the exact closed form the tight operator evaluates.
@pytest.mark.parametrize("accuracy, bound", [(1e-3, 1e-3), (1e-6, 5e-5)])
def test_default_operator_matches_the_direct_sum(accuracy, bound):
    mesh = zandrel.sphere_mesh(1.0, 5)
    fast = zandrel.solve(mesh, zandrel.LinearMaterial(chi=1000.0), (0, 0, 1.0), tol=1e-8, accuracy=accuracy)
    exact = direct_solve(mesh, zandrel.LinearMaterial(chi=1000.0), (0, 0, 1.0), tol=1e-8)
    difference = mean_magnetization(fast) - mean_magnetization(exact)
    assert np.linalg.norm(difference) <= bound * np.linalg.norm(mean_magnetization(exact))
