"""Maxwell-stress surface forces and the Kelvin force density through the
Python API: worked values to the bit, count assertions and failure order,
memory layouts, and force balance on magnetised bodies (the Maxwell stress
over a closed surface against the volume integral of mu0 (M . grad) H)."""
import sys

import numpy as np
import pytest

import _zandrel
from mesh_helpers import ball_mesh, box_mesh

MU0 = 4e-7 * np.pi
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def bounds(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def assertion(left, right):
    return f"assertion `left == right` failed\n  left: {left}\n right: {right}"


def panic_args(fn, *args):
    with pytest.raises(_zandrel.PanicException) as err:
        fn(*args)
    return err.value.args


# ----------------------------------------------------------------- mesh_surface_forces


@pytest.mark.parametrize("b, normal, area, force", [
    ((0, 0, 0), (0, 0, 1), 1.0, (0.0, 0.0, 0.0)),
    ((0, 0, 1), (0, 0, 1), 1.0, (0.0, 0.0, 397887.35772973835)),
    ((1, 0, 0), (0, 0, 1), 1.0, (0.0, 0.0, -397887.35772973835)),
    ((0, 0, 2), (0, 0, 1), 0.5, (0.0, 0.0, 795774.7154594767)),
    ((1, 2, 3), (0, 0, 1), 2.0, (4774648.29275686, 9549296.58551372, 3183098.8618379068)),
])
def test_worked_forces_to_the_bit(b, normal, area, force):
    f = _zandrel.mesh_surface_forces(np.array([area]), np.array([normal], float), np.array([b], float))
    assert f.dtype == np.float64 and f.shape == (1, 3) and f.flags.c_contiguous
    assert f.tolist() == [list(force)]


def test_forces_match_the_stress_tensor_formula(rng):
    n = 40
    areas = rng.uniform(0.1, 2.0, n)
    normals = rng.standard_normal((n, 3))
    b = rng.standard_normal((n, 3))
    f = _zandrel.mesh_surface_forces(areas, normals, b)
    t = (b[:, :, None] * b[:, None, :] - 0.5 * np.einsum("ij,ij->i", b, b)[:, None, None] * np.eye(3)) / MU0
    np.testing.assert_allclose(f, areas[:, None] * np.einsum("kij,kj->ki", t, normals), rtol=1e-12, atol=1e-6)


def test_b_field_is_read_as_flat_triples_and_trailing_values_are_ignored():
    b = np.array([0, 0, 1, 1, 0, 0, 42.0]).reshape(7, 1)
    f = _zandrel.mesh_surface_forces(np.array([1.0, 1.0]), np.array([[0, 0, 1.0], [0, 0, 1.0]]), b)
    assert f.tolist() == [[0.0, 0.0, 397887.35772973835], [0.0, 0.0, -397887.35772973835]]
    wide = _zandrel.mesh_surface_forces(np.array([1.0, 1.0]), np.array([[0, 0, 1.0, 0, 0, 1.0]]),
                                        np.array([[0, 0, 1, 1, 0, 0.0]]))
    np.testing.assert_array_equal(wide, f)


@pytest.mark.parametrize("normals, b, message", [
    (np.zeros((3, 3)), np.zeros((2, 3)), assertion(2, 3)),
    (np.zeros((3, 3)), np.zeros((1, 3)), assertion(2, 3)),
    (np.zeros((2, 3)), np.zeros((1, 3)), assertion(2, 1)),
    (np.zeros((2, 3)), np.zeros((3, 3)), assertion(2, 3)),
])
def test_count_mismatches_abort_normals_first(normals, b, message):
    assert panic_args(_zandrel.mesh_surface_forces, np.ones(2), normals, b) == (message,)


def test_empty_inputs_give_an_empty_result():
    f = _zandrel.mesh_surface_forces(np.zeros(0), np.zeros((0, 3)), np.zeros((0, 3)))
    assert f.shape == (0, 3) and f.dtype == np.float64


def test_surface_forces_argument_errors():
    ok = (np.ones(1), np.array([[0, 0, 1.0]]), np.array([[0, 0, 1.0]]))
    with pytest.raises(TypeError, match="^argument 'face_areas': "):
        _zandrel.mesh_surface_forces(np.ones((1, 1)), *ok[1:])
    with pytest.raises(TypeError, match="^argument 'face_normals': "):
        _zandrel.mesh_surface_forces(ok[0], ok[1].ravel(), ok[2])
    with pytest.raises(TypeError, match="^argument 'b_field': "):
        _zandrel.mesh_surface_forces(ok[0], ok[1], ok[2].astype(np.float32))
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_forces(ok[0], np.asfortranarray(np.zeros((2, 3)))[:1], ok[2])
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_forces(np.ones(4)[::2], np.zeros((2, 3)), np.zeros((2, 3)))


def test_b_field_view_is_taken_before_the_counts_are_compared():
    # Mismatched counts and a strided b_field: the flat view fails first.
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_forces(np.ones(2), np.zeros((3, 3)), np.zeros((4, 3))[::2])
    # A strided face_areas with a good b_field also fails in its flat view.
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_forces(np.ones(4)[::2], np.zeros((3, 3)), np.zeros((2, 3)))


# ----------------------------------------------------------- mesh_kelvin_force_density

UNIT_NODES = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
UNIT_CONN = np.array([[0, 1, 2, 3]], dtype=np.uint32)
H_X = np.array([[0, 0, 0], [1, 0, 0], [0, 0, 0], [0, 0, 0.0]])  # H = (x, 0, 0)
H_Y = np.array([[0, 0, 0], [0, 1, 0], [0, 0, 0], [0, 0, 0.0]])  # H = (0, x, 0)


@pytest.mark.parametrize("m, h, want", [
    ((1, 0, 0), H_X, (1.0, 0.0, 0.0)),
    ((0, 1, 0), H_X, (0.0, 0.0, 0.0)),
    ((1, 0, 0), H_Y, (0.0, 1.0, 0.0)),
])
def test_unit_element_component_j_is_m_dot_grad_hj(m, h, want):
    f = _zandrel.mesh_kelvin_force_density(UNIT_NODES, UNIT_CONN, np.array([m], float), h)
    assert f.dtype == np.float64 and f.shape == (1, 3)
    assert f.tolist() == [list(want)]


def test_linear_field_on_a_mesh_gives_g_times_m_and_uniform_field_gives_zero(rng):
    nodes, conn = box_mesh(3, (-1.0, 0.5, 2.0), (0.5, 1.5, 4.0))
    g = rng.standard_normal((3, 3))
    h0 = rng.standard_normal(3)
    m = rng.standard_normal((len(conn), 3))
    f = _zandrel.mesh_kelvin_force_density(nodes, conn, m, h0 + nodes @ g.T)
    np.testing.assert_allclose(f, m @ g.T, rtol=1e-10, atol=1e-12)
    uniform = _zandrel.mesh_kelvin_force_density(nodes, conn, m, np.tile(h0, (len(nodes), 1)))
    assert np.all(uniform == 0.0)


def test_empty_connectivity_gives_an_empty_result():
    f = _zandrel.mesh_kelvin_force_density(UNIT_NODES, np.zeros((0, 4), np.uint32), np.zeros((0, 3)), H_X)
    assert f.shape == (0, 3) and f.dtype == np.float64


def test_extra_magnetisation_rows_are_ignored():
    m = np.array([[1, 0, 0], [9, 9, 9.0]])
    assert _zandrel.mesh_kelvin_force_density(UNIT_NODES, UNIT_CONN, m, H_X).tolist() == [[1.0, 0.0, 0.0]]


def test_width_eight_connectivity_uses_the_first_e_groups():
    conn = np.array([[0, 1, 2, 3, 0, 2, 1, 3]], dtype=np.uint32)
    f = _zandrel.mesh_kelvin_force_density(UNIT_NODES, conn, np.array([[1, 0, 0.0]]), H_X)
    assert f.tolist() == [[1.0, 0.0, 0.0]]
    # A bad index in the unused second group is still checked.
    bad = np.array([[0, 1, 2, 3, 0, 2, 1, 4]], dtype=np.uint32)
    assert panic_args(_zandrel.mesh_kelvin_force_density, UNIT_NODES, bad, np.array([[1, 0, 0.0]]), H_X) == (
        bounds(4, 4),)


def strided(a):
    """The same values in a non-contiguous, Fortran-ordered buffer with a
    fourth column that must be ignored."""
    wide = np.asfortranarray(np.concatenate([a, np.full((len(a), 1), np.nan)], axis=1))
    out = np.zeros((2 * len(a), 4), order="F")
    out[::2] = wide
    return out[::2]


def test_copied_arguments_accept_any_memory_layout(rng):
    nodes, conn = box_mesh(2)
    m = rng.standard_normal((len(conn), 3))
    h = rng.standard_normal((len(nodes), 3))
    want = _zandrel.mesh_kelvin_force_density(nodes, conn, m, h)
    got = _zandrel.mesh_kelvin_force_density(strided(nodes), conn, strided(m), strided(h))
    np.testing.assert_array_equal(got, want)
    reversed_rows = _zandrel.mesh_kelvin_force_density(nodes[::-1].copy()[::-1], conn, m[::-1].copy()[::-1],
                                                       np.asfortranarray(h))
    np.testing.assert_array_equal(reversed_rows, want)


def test_connectivity_must_be_contiguous():
    conn = np.asfortranarray(np.array([[0, 1, 2, 3], [3, 2, 1, 0]], dtype=np.uint32))
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_kelvin_force_density(UNIT_NODES, conn, np.zeros((2, 3)), H_X)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_kelvin_force_density(UNIT_NODES, np.zeros((4, 4), np.uint32)[::2], np.zeros((2, 3)), H_X)


M1 = np.array([[1.0, 0.0, 0.0]])
TWO_COLS = np.zeros((4, 2))


@pytest.mark.parametrize("nodes, conn, m, h, message", [
    # Each failure alone.
    (UNIT_NODES, np.zeros((3, 3), np.uint32), M1, H_X, assertion(1, 0)),
    (UNIT_NODES, np.array([[0, 1, 7, 5]], np.uint32), M1, H_X, bounds(4, 7)),
    (np.zeros((6, 3)), np.array([[4, 5, 1, 2]], np.uint32), M1, H_X, bounds(4, 5)),  # H read at b before a
    (UNIT_NODES, np.array([[0, 1], [2, 3], [0, 1], [2, 3]], np.uint32), np.zeros((4, 3)), H_X, bounds(2, 2)),
    (UNIT_NODES, np.array([[0, 1, 2, 3], [3, 2, 1, 0]], np.uint32), M1, H_X, bounds(1, 1)),
    (UNIT_NODES, UNIT_CONN, np.zeros((0, 3)), H_X, bounds(0, 0)),
    (TWO_COLS, UNIT_CONN, M1, H_X, "ndarray: index out of bounds"),
    (UNIT_NODES, UNIT_CONN, TWO_COLS[:1], H_X, "ndarray: index out of bounds"),
    (UNIT_NODES, UNIT_CONN, M1, TWO_COLS, "ndarray: index out of bounds"),
    # Two faults: the earlier step wins.
    (TWO_COLS, np.zeros((3, 3), np.uint32), M1, H_X, "ndarray: index out of bounds"),
    (UNIT_NODES, np.zeros((3, 3), np.uint32), TWO_COLS[:1], H_X, assertion(1, 0)),
    (UNIT_NODES, np.array([[0, 1, 2, 9]], np.uint32), TWO_COLS[:1], H_X, "ndarray: index out of bounds"),
    (UNIT_NODES, np.array([[0, 1, 2, 9]], np.uint32), M1, TWO_COLS, bounds(4, 9)),
    (UNIT_NODES, UNIT_CONN, np.zeros((0, 3)), H_X[:3], bounds(3, 3)),
    (UNIT_NODES, np.array([[0, 1], [2, 3], [0, 1], [2, 3]], np.uint32), np.zeros((1, 3)), H_X, bounds(2, 2)),
])
def test_kelvin_failures_in_step_order(nodes, conn, m, h, message):
    assert panic_args(_zandrel.mesh_kelvin_force_density, nodes, conn, m, h) == (message,)


def test_kelvin_argument_errors():
    with pytest.raises(TypeError, match="^argument 'nodes': "):
        _zandrel.mesh_kelvin_force_density(UNIT_NODES.ravel(), UNIT_CONN, M1, H_X)
    with pytest.raises(TypeError, match="^argument 'connectivity': "):
        _zandrel.mesh_kelvin_force_density(UNIT_NODES, UNIT_CONN.astype(np.int64), M1, H_X)
    with pytest.raises(TypeError, match="^argument 'm_field_centroids': "):
        _zandrel.mesh_kelvin_force_density(UNIT_NODES, UNIT_CONN, M1.tolist(), H_X)
    with pytest.raises(TypeError, match="^argument 'h_field_nodes': "):
        _zandrel.mesh_kelvin_force_density(UNIT_NODES, UNIT_CONN, M1, H_X.astype(">f8"))


def test_inputs_keep_their_reference_counts_on_success_and_failure():
    args = (UNIT_NODES.copy(), UNIT_CONN.copy(), M1.copy(), H_X.copy())
    before = [sys.getrefcount(a) for a in args]
    _zandrel.mesh_kelvin_force_density(*args)
    with pytest.raises(_zandrel.PanicException):
        _zandrel.mesh_kelvin_force_density(args[0], args[1], args[2][:0], args[3])
    _zandrel.mesh_surface_forces(np.ones(1), args[2], args[2])
    with pytest.raises(_zandrel.PanicException):
        _zandrel.mesh_surface_forces(np.ones(2), args[2], args[2])
    assert [sys.getrefcount(a) for a in args] == before


# ------------------------------------------------------------------------ force balance
#
# A body with uniform magnetisation M, meshed with tetrahedra, inside a closed
# box surface. Outside the body B = mu0 (H_body + H_applied). The Maxwell
# stress integrated over the surface is the total force on what it encloses:
# zero for the body's own field, mu0 V (G M) for an applied field H = G x with
# a constant, symmetric, traceless gradient G (curl- and divergence-free).
# Midpoint quadrature on the triangles converges as h^2.

def enclosing_surface(n, lo, hi):
    nodes, conn = box_mesh(n, lo, hi)
    return _zandrel.mesh_surface_face_properties(nodes, _zandrel.mesh_surface_faces(conn))


def body_field(nodes, conn, m, targets):
    mv = np.tile(m, (len(conn), 1))
    return _zandrel.h_mag_tet4(nodes, conn, mv, targets, 0.0, 0, 0, False, False)


def test_maxwell_stress_around_a_magnetised_ball_without_applied_field_sums_to_zero():
    body_nodes, body_conn = ball_mesh(2, 0.6, (0.2, -0.1, 0.15))
    m = np.array([0.3e5, -0.2e5, 1e5])
    areas, centroids, normals = enclosing_surface(16, (-1.4, -1.5, -1.3), (1.5, 1.6, 1.4))
    b = MU0 * body_field(body_nodes, body_conn, m, centroids)
    forces = _zandrel.mesh_surface_forces(areas, normals, b)
    assert np.linalg.norm(forces.sum(axis=0)) < 1e-3 * np.abs(forces).sum()


def test_maxwell_stress_in_a_gradient_field_matches_the_kelvin_force_integral():
    body_nodes, body_conn = box_mesh(3, (-0.3, -0.6, -0.4), (0.5, 0.4, 0.6))
    m = np.array([0.3e5, -0.2e5, 1e5])
    g = np.array([[0.2, -0.4, 1.5], [-0.4, 0.7, 0.3], [1.5, 0.3, -0.9]]) * 1e4
    areas, centroids, normals = enclosing_surface(16, (-1.4, -1.5, -1.3), (1.5, 1.6, 1.4))
    b = MU0 * (body_field(body_nodes, body_conn, m, centroids) + centroids @ g.T)
    maxwell = _zandrel.mesh_surface_forces(areas, normals, b).sum(axis=0)

    density = _zandrel.mesh_kelvin_force_density(body_nodes, body_conn, np.tile(m, (len(body_conn), 1)),
                                                  body_nodes @ g.T)
    volumes = _zandrel.mesh_volumes(body_nodes, body_conn)
    kelvin = MU0 * (density * volumes[:, None]).sum(axis=0)
    np.testing.assert_allclose(kelvin, MU0 * volumes.sum() * (g @ m), rtol=1e-12)
    assert np.linalg.norm(maxwell - kelvin) < 2e-3 * np.linalg.norm(kelvin)
