"""Fields of tetrahedral meshes (magnetised and current-carrying) against
independent physics: numerical quadrature of the surface-charge and
Biot-Savart integrals, the closed form of a uniformly magnetised cuboid, the
demagnetising factor of the regular tetrahedron, point-source far fields;
plus the invariants and failures of the two functions.

The closed forms evaluate fast approximations of arctan and ln (absolute
error about 1.7e-6 and 1.1e-7), so their error is absolute, of order 1e-7 |M|
(face formulation) and 1e-6 |M| (edge formulation), not relative to H.
"""
import numpy as np
import pytest
from numpy.polynomial.legendre import leggauss

import _zandrel
from analytic_fields import cuboid_field
from mesh_helpers import kuhn_box_and_aligned_grid

S2 = 1.0 / np.sqrt(2.0)
# Positively oriented regular tetrahedron of edge length 2, centroid at 0.
REGULAR = np.array([[-1.0, 0.0, -S2], [1.0, 0.0, -S2], [0.0, 1.0, S2], [0.0, -1.0, S2]])
ONE = np.array([[0, 1, 2, 3]], dtype=np.uint32)
REF_VECTOR = np.array([[0.3, -0.2, 1.0]])
FACES = [(0, 2, 1), (0, 3, 2), (1, 2, 3), (0, 1, 3)]
PANIC = _zandrel.PanicException


def h_mag(nodes, conn, m, targets, edge=False, nthreads=0):
    return _zandrel.h_mag_tet4(nodes, conn, m, targets, 0.5, 8, nthreads, False, edge)


def h_cur(nodes, conn, j, targets, edge=False, nthreads=0):
    return _zandrel.h_current_tet4_direct(nodes, conn, j, targets, nthreads, edge)


def orientation(n4):
    return np.dot(np.cross(n4[1] - n4[0], n4[2] - n4[0]), n4[3] - n4[0])


def volume(n4):
    return abs(orientation(n4)) / 6.0


def random_rotation(rng):
    q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    if np.linalg.det(q) < 0:
        q[:, 0] *= -1
    return q


def random_tet(rng):
    """A well-shaped, positively oriented tetrahedron: a rotated, scaled,
    moved and slightly distorted regular one."""
    scale = rng.uniform(0.3, 2.0)
    n4 = (REGULAR @ random_rotation(rng).T + rng.normal(scale=0.15, size=(4, 3))) * scale + rng.normal(size=3)
    if orientation(n4) < 0:
        n4 = n4[[0, 2, 1, 3]]
    return n4


def edge_size(n4):
    return max(np.linalg.norm(n4[i] - n4[j]) for i in range(4) for j in range(i))


def directions(rng, n):
    d = rng.normal(size=(n, 3))
    return d / np.linalg.norm(d, axis=1)[:, None]


# ---- independent truth ------------------------------------------------------

def gauss01(n):
    x, w = leggauss(n)
    return (x + 1) / 2, w / 2


def triangle_rule(a, b, c, n):
    """Collapsed (Duffy) Gauss-Legendre rule on a triangle: points, weights."""
    u, wu = gauss01(n)
    U, V = np.meshgrid(u, u, indexing="ij")
    w = np.outer(wu, wu) * (1 - U) * np.linalg.norm(np.cross(b - a, c - a))
    pts = a + U.ravel()[:, None] * (b - a) + (V * (1 - U)).ravel()[:, None] * (c - a)
    return pts, w.ravel()


def tetrahedron_rule(n4, n):
    """Collapsed Gauss-Legendre rule on a tetrahedron: points, weights."""
    a, b, c, d = n4
    u, wu = gauss01(n)
    U, V, W = np.meshgrid(u, u, u, indexing="ij")
    w = wu[:, None, None] * wu[None, :, None] * wu[None, None, :]
    w = w * (1 - U) ** 2 * (1 - V) * abs(np.linalg.det(np.array([b - a, c - a, d - a])))
    xi, eta, zeta = U.ravel(), (V * (1 - U)).ravel(), (W * (1 - U) * (1 - V)).ravel()
    pts = a + xi[:, None] * (b - a) + eta[:, None] * (c - a) + zeta[:, None] * (d - a)
    return pts, w.ravel()


def h_mag_quadrature(n4, m, targets, n=24):
    """H = (1/4pi) sum_f (M.n_f) int_f (r - r')/|r - r'|^3 dA' (surface charges)."""
    h = np.zeros((len(targets), 3))
    for f in FACES:
        a, b, c = n4[list(f)]
        normal = np.cross(b - a, c - a)
        normal /= np.linalg.norm(normal)
        pts, w = triangle_rule(a, b, c, n)
        d = targets[:, None, :] - pts[None, :, :]
        h += (m @ normal) / (4 * np.pi) * np.einsum("tpk,p,tp->tk", d, w, np.linalg.norm(d, axis=2) ** -3)
    return h


def h_current_quadrature(n4, j, targets, n=20):
    """Biot-Savart: H = (1/4pi) int_V J x (r - r')/|r - r'|^3 dV'."""
    pts, w = tetrahedron_rule(n4, n)
    d = targets[:, None, :] - pts[None, :, :]
    return np.einsum("tpk,p,tp->tk", np.cross(j, d), w, np.linalg.norm(d, axis=2) ** -3) / (4 * np.pi)


def box_mesh(centre, half, cells):
    """The box split into cells^3 sub-cubes of six positively oriented
    tetrahedra each, sharing nodes."""
    g = [np.linspace(centre[k] - half[k], centre[k] + half[k], cells + 1) for k in range(3)]
    nodes = np.array([[x, y, z] for x in g[0] for y in g[1] for z in g[2]])

    def index(i, j, k):
        return (i * (cells + 1) + j) * (cells + 1) + k

    conn = []
    perms = [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]
    for i in range(cells):
        for j in range(cells):
            for k in range(cells):
                for p in perms:
                    corner = [i, j, k]
                    path = [index(*corner)]
                    for axis in p:
                        corner[axis] += 1
                        path.append(index(*corner))
                    if orientation(nodes[path]) < 0:
                        path[1], path[2] = path[2], path[1]
                    conn.append(path)
    return nodes, np.array(conn, dtype=np.uint32)


# ---- physics ----------------------------------------------------------------

@pytest.mark.parametrize("edge", [False, True])
def test_reference_values_of_the_regular_tetrahedron(edge):
    t = np.array([[0.1, 0.2, 0.05], [2.0, 1.0, 0.5]])
    hm = h_mag(REGULAR, ONE, REF_VECTOR, t, edge)
    hc = h_cur(REGULAR, ONE, REF_VECTOR, t, edge)
    if not edge:
        np.testing.assert_allclose(hm[0], [-0.161585, 0.165758, -0.380753], atol=1e-6)
        np.testing.assert_allclose(hm[1], [0.0045605, 0.0045180, -0.0044469], atol=1e-7)
        np.testing.assert_allclose(hc[0], [-0.063070, 0.031713, 0.025264], atol=1e-6)
        np.testing.assert_allclose(hc[1], [-0.0067684, 0.0114171, 0.0043139], atol=1e-7)
    else:
        np.testing.assert_allclose(hm[0], [-0.16158, 0.16576, -0.38075], atol=1e-5)
        np.testing.assert_allclose(hc[0], [-0.063070, 0.031713, 0.025264], atol=1e-6)


@pytest.mark.parametrize("edge, tol", [(False, 1e-6), (True, 3e-6)])
def test_regular_tetrahedron_at_its_centre_has_minus_m_over_3(edge, tol, rng):
    # The demagnetising tensor of a regular tetrahedron at its centre is 1/3.
    for m in [np.array([0.0, 0.0, 1.0]), rng.normal(size=3)]:
        h = h_mag(REGULAR, ONE, m[None, :], np.zeros((1, 3)), edge)
        np.testing.assert_allclose(h[0], -m / 3, atol=tol * np.linalg.norm(m))


# Measured worst |H - quadrature| over 20 random elements and 60 targets at
# 1 to 5 element sizes: face 3.1e-7 |M| and 3.1e-7 |J| size; edge 2.1e-6 |M|
# and 1.8e-6 |J| size.
@pytest.mark.parametrize("edge, tol", [(False, 1e-6), (True, 5e-6)])
def test_magnetised_tetrahedra_match_quadrature_of_the_surface_charges(edge, tol, rng):
    for _ in range(8):
        n4 = random_tet(rng)
        m = rng.normal(size=3)
        size = edge_size(n4)
        t = n4.mean(axis=0) + directions(rng, 25) * size * rng.uniform(1.0, 5.0, size=(25, 1))
        h = h_mag(n4, ONE, m[None, :], t, edge)
        expected = h_mag_quadrature(n4, m, t)
        assert np.max(np.linalg.norm(h - expected, axis=1)) < tol * np.linalg.norm(m)


@pytest.mark.parametrize("edge, tol", [(False, 1e-6), (True, 5e-6)])
def test_current_tetrahedra_match_quadrature_of_biot_savart(edge, tol, rng):
    for _ in range(8):
        n4 = random_tet(rng)
        j = rng.normal(size=3)
        size = edge_size(n4)
        t = n4.mean(axis=0) + directions(rng, 25) * size * rng.uniform(1.0, 5.0, size=(25, 1))
        h = h_cur(n4, ONE, j[None, :], t, edge)
        expected = h_current_quadrature(n4, j, t)
        assert np.max(np.linalg.norm(h - expected, axis=1)) < tol * np.linalg.norm(j) * size


def test_quadrature_inside_the_element_matches_the_face_formulation(rng):
    # The surface integral is smooth inside too, away from the faces (a fine
    # rule: targets come within a few per cent of the element size of them).
    for _ in range(4):
        n4 = random_tet(rng)
        m = rng.normal(size=3)
        w = rng.uniform(0.15, 1.0, size=(10, 4))
        t = (w / w.sum(axis=1)[:, None]) @ n4
        np.testing.assert_allclose(h_mag(n4, ONE, m[None, :], t), h_mag_quadrature(n4, m, t, n=96),
                                   atol=1e-6 * np.linalg.norm(m))


# Measured worst |H - exact| over 150 targets: 2.8e-6 |M| (face), 2.9e-6 |M|
# (edge), the errors of 48 elements adding up.
@pytest.mark.parametrize("edge, tol", [(False, 6e-6), (True, 6e-6)])
def test_cuboid_split_into_tetrahedra_matches_the_uniformly_magnetised_cuboid(edge, tol, rng):
    centre, half = np.array([0.2, -0.1, 0.3]), np.array([0.5, 0.7, 0.4])
    nodes, conn = box_mesh(centre, half, 2)
    assert np.isclose(_zandrel.mesh_volumes(nodes, conn).sum(), 8 * np.prod(half))
    m = np.array([0.3, -0.8, 1.1])
    # Inside (the field is continuous across the internal faces) and outside,
    # away from the outer faces.
    inside = centre + rng.uniform(-0.8, 0.8, size=(30, 3)) * half
    outside = centre + directions(rng, 30) * rng.uniform(1.5, 4.0, size=(30, 1))
    t = np.vstack([inside, outside])
    h = h_mag(nodes, conn, np.tile(m, (len(conn), 1)), t, edge)
    np.testing.assert_allclose(h, cuboid_field(centre, half, m, t), atol=tol * np.linalg.norm(m))


def test_far_field_is_that_of_a_point_dipole_and_a_point_current_element(rng):
    # Ten edge lengths away the exact fields (quadrature) differ from the
    # point sources by 1.1e-4 and 1.3e-4 relative. The face formulation's
    # absolute error (about 3e-7 |M|) is a larger share of the weak far field:
    # measured over 200 directions 6.7e-4 (magnetised) and 4.0e-3 (current,
    # where four face potentials of order 1/r cancel to a 1/r^2 field).
    m = REF_VECTOR[0]
    v = volume(REGULAR)
    r = directions(rng, 20) * 20.0  # ten edge lengths from the centroid
    rn = np.linalg.norm(r, axis=1)[:, None]
    moment = m * v
    dipole = (3 * r * (r @ moment)[:, None] / rn**2 - moment) / (4 * np.pi * rn**3)
    element = np.cross(moment, r) / (4 * np.pi * rn**3)
    h = h_mag(REGULAR, ONE, REF_VECTOR, r)
    assert np.max(np.linalg.norm(h - dipole, axis=1) / np.linalg.norm(dipole, axis=1)) < 1e-3
    h = h_cur(REGULAR, ONE, REF_VECTOR, r)
    assert np.max(np.linalg.norm(h - element, axis=1) / np.linalg.norm(element, axis=1)) < 6e-3


def test_face_and_edge_formulations_agree_near_and_differ_far(rng):
    # Measured over 40 random elements, targets inside and at 0.6 .. 2 sizes:
    # relative difference median 6.7e-5, 99th percentile 1.0e-3, worst 4.5e-3
    # (where H is small); absolute difference at most 2.7e-6 |M| near and
    # 2.2e-6 |M| at ten sizes, where that is up to 34 % of |H| (median 2 % per
    # component): far from an element the edge formulation's per-edge terms
    # nearly cancel and keep the fast arctangent's absolute error.
    relative, near_abs, far_abs, far_rel = [], [], [], []
    for _ in range(10):
        n4 = random_tet(rng)
        v = rng.normal(size=(1, 3))
        size = edge_size(n4)
        w = rng.uniform(0.15, 1.0, size=(5, 4))
        near = np.vstack([(w / w.sum(axis=1)[:, None]) @ n4,
                          n4.mean(axis=0) + directions(rng, 20) * size * rng.uniform(0.6, 2.0, size=(20, 1))])
        far = n4.mean(axis=0) + directions(rng, 20) * size * 10
        for fn, scale in ((h_mag, np.linalg.norm(v)), (h_cur, np.linalg.norm(v) * size)):
            face, edge = fn(n4, ONE, v, near, False), fn(n4, ONE, v, near, True)
            relative.append(np.linalg.norm(face - edge, axis=1) / np.linalg.norm(face, axis=1))
            near_abs.append(np.max(np.linalg.norm(face - edge, axis=1)) / scale)
            face, edge = fn(n4, ONE, v, far, False), fn(n4, ONE, v, far, True)
            far_abs.append(np.max(np.linalg.norm(face - edge, axis=1)) / scale)
            far_rel.append(np.max(np.linalg.norm(face - edge, axis=1) / np.linalg.norm(face, axis=1)))
    relative = np.concatenate(relative)
    assert np.median(relative) < 2e-4
    assert np.percentile(relative, 90) < 1e-3
    assert max(near_abs) < 6e-6
    assert max(far_abs) < 5e-6
    assert max(far_rel) < 1.0


@pytest.mark.parametrize("edge", [False, True])
def test_reversing_the_orientation_negates_the_field(edge, rng):
    n4 = random_tet(rng)
    v = rng.normal(size=(1, 3))
    t = n4.mean(axis=0) + directions(rng, 30) * edge_size(n4) * rng.uniform(0.3, 3.0, size=(30, 1))
    swapped = np.array([[0, 2, 1, 3]], dtype=np.uint32)
    # Measured worst |H + H_reversed|: 1e-16 |M| (face), 3.7e-8 |M| (edge).
    scale = np.linalg.norm(v) * (1e-14 if not edge else 2e-7)
    for fn, s in ((h_mag, 1.0), (h_cur, edge_size(n4))):
        np.testing.assert_allclose(fn(n4, swapped, v, t, edge), -fn(n4, ONE, v, t, edge), atol=scale * s)


@pytest.mark.parametrize("edge", [False, True])
def test_field_varies_smoothly_up_to_each_face_from_inside(edge):
    # The solid angle of a face grows towards 2 pi as the face is approached
    # from inside; the arctangent's quadrant handling must not jump on the way.
    for f in FACES:
        corners = REGULAR[list(f)]
        for w in ([1 / 3, 1 / 3, 1 / 3], [0.8, 0.1, 0.1], [0.05, 0.5, 0.45]):
            end = np.array(w) @ corners
            # Up to 1e-10 of the path from the face (on it, H takes a value
            # between the one-sided limits of the charged sheet).
            s = np.concatenate([np.linspace(0.0, 0.999, 2000), 1 - np.logspace(-3, -10, 60)])[:, None]
            h = h_mag(REGULAR, ONE, REF_VECTOR, s * end, edge)
            steps = np.linalg.norm(np.diff(h, axis=0), axis=1)
            assert np.all(np.isfinite(h))
            assert steps.max() < 2e-3, (f, w)


@pytest.mark.parametrize("edge", [False, True])
def test_targets_on_vertices_edges_and_faces_are_finite(edge):
    pts = list(REGULAR)
    for i in range(4):
        for j in range(i + 1, 4):
            pts += [(REGULAR[i] + REGULAR[j]) / 2, 0.2 * REGULAR[i] + 0.8 * REGULAR[j],
                    2 * REGULAR[j] - REGULAR[i]]
    pts += [REGULAR[list(f)].mean(axis=0) for f in FACES]
    t = np.array(pts)
    assert np.all(np.isfinite(h_mag(REGULAR, ONE, REF_VECTOR, t, edge)))
    assert np.all(np.isfinite(h_cur(REGULAR, ONE, REF_VECTOR, t, edge)))


@pytest.mark.parametrize("edge", [False, True])
def test_a_degenerate_element_gives_nan_without_failing(edge):
    # A repeated node makes faces of zero area: the normalisations give NaN,
    # which reaches every target the element is summed into; nothing raises.
    nodes = np.vstack([REGULAR, REGULAR + [5.0, 0, 0]])
    good = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    bad = np.array([[0, 1, 2, 3], [4, 5, 6, 6]], dtype=np.uint32)
    t = np.array([[0.1, 0.2, 0.05], [2.0, 1.0, 0.5], [-3.0, 0.0, 0.0]])
    v = np.tile(REF_VECTOR, (2, 1))
    for fn in (h_mag, h_cur):
        assert np.all(np.isfinite(fn(nodes, good, v[:1], t, edge)))
        assert np.all(np.isnan(fn(nodes, bad, v, t, edge)))
    # Four distinct coplanar nodes: all faces have an area and the charges of
    # overlapping faces cancel (targets off the plane: in it, the edge
    # formulation's sign of z is a rounding residue).
    flat = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0.6, 0.7, 0]])
    for fn in (h_mag, h_cur):
        assert np.max(np.abs(fn(flat, ONE, REF_VECTOR, t[:2], edge))) < 1e-6


def test_zero_source_and_empty_inputs():
    t = np.array([[0.1, 0.2, 0.05], [0.0, 1.0, S2]])
    for edge in (False, True):
        assert np.array_equal(h_mag(REGULAR, ONE, np.zeros((1, 3)), t, edge), np.zeros((2, 3)))
        assert np.array_equal(h_cur(REGULAR, ONE, np.zeros((1, 3)), t, edge), np.zeros((2, 3)))
        empty = np.zeros((0, 4), dtype=np.uint32)
        assert np.array_equal(h_mag(REGULAR, empty, np.zeros((0, 3)), t, edge), np.zeros((2, 3)))
        assert np.array_equal(h_cur(REGULAR, empty, np.zeros((0, 3)), t, edge), np.zeros((2, 3)))
        for fn in (h_mag, h_cur):
            r = fn(REGULAR, ONE, REF_VECTOR, np.zeros((0, 3)), edge)
            assert r.shape == (0, 3) and r.dtype == np.float64


def random_mesh(rng, n):
    nodes = np.vstack([random_tet(rng) for _ in range(n)])
    conn = np.arange(4 * n, dtype=np.uint32).reshape(n, 4)
    return nodes, conn, rng.normal(size=(n, 3))


@pytest.mark.parametrize("edge", [False, True])
def test_results_do_not_depend_on_thread_count_or_target_position(edge, rng):
    nodes, conn, v = random_mesh(rng, 7)
    t = rng.uniform(-3, 3, size=(101, 3))
    for fn in (h_mag, h_cur):
        ref = fn(nodes, conn, v, t, edge, nthreads=1)
        for n in (0, 2, 3, 4, 7, 1000):
            assert np.array_equal(fn(nodes, conn, v, t, edge, nthreads=n), ref)
        # Every target in another lane, piece and padded remainder.
        perm = rng.permutation(len(t))
        assert np.array_equal(fn(nodes, conn, v, t[perm], edge, nthreads=3), ref[perm])
        for k in (1, 5, 13):
            assert np.array_equal(fn(nodes, conn, v, t[k:2 * k + 3], edge), ref[k:2 * k + 3])


def test_targets_in_any_layout_and_sources_as_views(rng):
    nodes, conn, v = random_mesh(rng, 3)
    t = rng.uniform(-3, 3, size=(9, 5))
    ref = h_mag(nodes, conn, v, np.ascontiguousarray(t[:, :3]))
    assert np.array_equal(h_mag(nodes, conn, v, np.asfortranarray(t)), ref)
    assert np.array_equal(h_mag(nodes, conn, v, t[::-1])[::-1], ref)
    assert np.array_equal(h_cur(nodes, conn, v, np.asfortranarray(t[:, :3]), False),
                          h_cur(nodes, conn, v, t[:, :3], False))


# ---- failures ---------------------------------------------------------------

def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def assert_eq_message(left, right):
    return f"assertion `left == right` failed\n  left: {left}\n right: {right}"


@pytest.mark.parametrize("edge", [False, True])
def test_h_mag_tet4_bad_meshes(edge, rng):
    nodes, conn, v = random_mesh(rng, 3)  # 12 nodes
    t = np.zeros((2, 3))
    bad = conn.copy()
    bad[1, 2], bad[2, 0] = 12, 50
    with pytest.raises(PANIC, match="^" + oob(12, 12) + "$"):
        h_mag(nodes, bad, v, t, edge)
    with pytest.raises(PANIC, match="^" + oob(1, 1) + "$"):
        h_mag(nodes, conn, v[:1], t, edge)
    bad = conn.copy()
    bad[1, 3] = 99  # its node comes before its missing magnetisation
    with pytest.raises(PANIC, match="^" + oob(12, 99) + "$"):
        h_mag(nodes, bad, v[:1], t, edge)
    # Flat lengths that are not whole records: the remainder against 0.
    with pytest.raises(PANIC) as info:
        h_mag(np.zeros((4, 2)), conn, v, t, edge)
    assert info.value.args[0] == assert_eq_message(2, 0)
    with pytest.raises(PANIC) as info:
        h_mag(nodes, np.zeros((3, 3), dtype=np.uint32), v, t, edge)
    assert info.value.args[0] == assert_eq_message(1, 0)
    with pytest.raises(PANIC) as info:
        h_mag(nodes, conn, np.zeros((1, 2)), t, edge)
    assert info.value.args[0] == assert_eq_message(2, 0)
    # Without targets no element is visited.
    assert h_mag(nodes, bad, v[:1], np.zeros((0, 3)), edge).shape == (0, 3)


def test_h_mag_tet4_takes_flat_views_before_regrouping_and_copies_targets(rng):
    nodes, conn, v = random_mesh(rng, 2)
    t = np.zeros((2, 3))
    message = "^The given array is not contiguous or is misaligned\\.$"
    with pytest.raises(TypeError, match=message):
        h_mag(np.asfortranarray(nodes), conn, v, t)
    with pytest.raises(TypeError, match=message):
        h_mag(nodes, conn[:, ::-1], v, t)
    with pytest.raises(TypeError, match=message):
        h_mag(nodes, conn, np.asfortranarray(v), t)
    # All three views come before the first regrouping.
    with pytest.raises(TypeError, match=message):
        h_mag(np.zeros((4, 2)), conn, np.asfortranarray(v), t)
    # Shapes are not compared: only the flat lengths count.
    assert np.array_equal(h_mag(nodes.reshape(-1, 6), conn.reshape(-1, 2), v.reshape(1, 6), t),
                          h_mag(nodes, conn, v, t))
    with pytest.raises(PANIC, match="^ndarray: index out of bounds$"):
        h_mag(nodes, conn, v, np.zeros((2, 2)))


@pytest.mark.parametrize("edge", [False, True])
def test_h_current_tet4_direct_bad_meshes(edge, rng):
    nodes, conn, j = random_mesh(rng, 3)  # 36 coordinates
    t = np.zeros((2, 3))
    bad = conn.copy()
    bad[1, 1] = 12
    with pytest.raises(PANIC, match="^" + oob(36, 36) + "$"):
        h_cur(nodes, bad, j, t, edge)
    with pytest.raises(PANIC, match="^" + oob(6, 6) + "$"):
        h_cur(nodes, conn, j[:2], t, edge)
    # Flat positions: nodes cut to 35 coordinates fail at the last one.
    with pytest.raises(PANIC, match="^" + oob(35, 35) + "$"):
        h_cur(nodes.ravel()[:35].reshape(5, 7), conn, j, t, edge)
    # A density array cut inside the last element's triple.
    with pytest.raises(PANIC, match="^" + oob(8, 8) + "$"):
        h_cur(nodes, conn, j.ravel()[:8].reshape(4, 2), t, edge)
    # An incomplete trailing group of connectivity is ignored.
    ragged = np.concatenate([conn.ravel(), [1000, 1001]]).astype(np.uint32).reshape(7, 2)
    assert np.array_equal(h_cur(nodes, ragged, j, t, edge), h_cur(nodes, conn, j, t, edge))
    assert h_cur(nodes, bad, j, np.zeros((0, 3)), edge).shape == (0, 3)


def test_h_current_tet4_direct_reads_targets_before_the_flat_views(rng):
    nodes, conn, j = random_mesh(rng, 2)
    message = "^The given array is not contiguous or is misaligned\\.$"
    for args in [(np.asfortranarray(nodes), conn, j), (nodes, conn[:, ::-1], j), (nodes, conn, np.asfortranarray(j))]:
        with pytest.raises(TypeError, match=message):
            h_cur(*args, np.zeros((2, 3)))
    with pytest.raises(PANIC, match="^ndarray: index out of bounds$"):
        h_cur(np.asfortranarray(nodes), conn, j, np.zeros((2, 2)))


def test_argument_types_are_checked_in_order():
    t = np.zeros((1, 3))
    with pytest.raises(TypeError, match="^argument 'connectivity': "):
        h_mag(REGULAR, ONE.astype(np.int64), REF_VECTOR, t)
    with pytest.raises(TypeError, match="^argument 'mvectors': "):
        h_mag(REGULAR, ONE, REF_VECTOR[0], t)
    with pytest.raises(TypeError, match="^argument 'edge': "):
        _zandrel.h_mag_tet4(REGULAR, ONE, REF_VECTOR, t, 0.5, 8, 0, False, 1)
    with pytest.raises(TypeError, match="^argument 'tgts': "):
        _zandrel.h_current_tet4_direct(REGULAR, ONE, REF_VECTOR, t.astype(np.float32), 0, False)
    with pytest.raises(OverflowError):
        _zandrel.h_current_tet4_direct(REGULAR, ONE, REF_VECTOR, t, -1, False)
    h = _zandrel.h_current_tet4_direct(tgts=t, edge=np.True_, nthreads_requested=2, jdensity=REF_VECTOR,
                                       connectivity=ONE, nodes=REGULAR)
    assert np.array_equal(h, h_cur(REGULAR, ONE, REF_VECTOR, t, True))


@pytest.mark.parametrize("offset", [0.0, 1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-2])
def test_edge_formulation_on_and_near_the_extension_of_an_edge(offset):
    # Behind an edge's end, on or near its supporting line, x + r of the edge
    # antiderivative cancels; the edge formulation must still agree with the
    # face formulation there (the logarithm is taken without cancellation).
    n4 = REGULAR.copy()
    direction = (n4[1] - n4[0]) / np.linalg.norm(n4[1] - n4[0])
    side = np.cross(direction, [0.3, 0.5, 0.7])
    side /= np.linalg.norm(side)
    targets = np.array([n4[1] + s * direction + offset * side for s in (0.3, 1.0, 2.5)])
    m = np.array([[0.4, -0.7, 1.1]])
    face = h_mag(n4, ONE, m, targets)
    edge = h_mag(n4, ONE, m, targets, edge=True)
    assert np.all(np.isfinite(edge))
    np.testing.assert_allclose(edge, face, atol=2e-5 * np.linalg.norm(m))


@pytest.mark.parametrize("shift", [0.0, 1e-3])
@pytest.mark.parametrize("fn", [h_mag, h_cur])
def test_edge_formulation_on_a_grid_aligned_with_a_regular_mesh(fn, shift):
    # A regular box mesh evaluated on a regular grid around it: many targets
    # lie exactly in the planes of faces outside them (a height of rounding
    # size above the face) and on the diagonals of the cells. Measured worst
    # |edge - face| / |face|: magnetised 1.0e-3 (7e-4 shifted), current 2.8e-4.
    nodes, conn, t = kuhn_box_and_aligned_grid(shift=shift)
    v = np.tile(REF_VECTOR, (len(conn), 1))
    face, edge = fn(nodes, conn, v, t), fn(nodes, conn, v, t, edge=True)
    assert np.max(np.linalg.norm(edge - face, axis=1) / np.linalg.norm(face, axis=1)) < 2e-3
