"""Point dipoles and point current elements against independent physics."""
import numpy as np
import pytest

import _zandrel

MU0 = 4e-7 * np.pi


def h_mag_point(c, v, m, t, nthreads=0):
    return _zandrel.h_mag_point(c, v, m, t, 0.0, 1, nthreads, False)


def sphere_volume(r):
    return 4.0 / 3.0 * np.pi * r**3


def test_uniformly_magnetised_sphere_outside_is_a_dipole_and_inside_is_minus_m_over_3(rng):
    radius, m = 0.3, np.array([0.2, -0.5, 1.1])
    c = np.array([[0.1, 0.2, -0.3]])
    v = np.array([sphere_volume(radius)])
    directions = rng.normal(size=(50, 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    distances = rng.uniform(radius * 1.01, 5.0, size=50)
    targets = c + directions * distances[:, None]
    h = h_mag_point(c, v, m[None, :], targets)
    # The exact field of a uniformly magnetised sphere outside it.
    moment = m * v[0]
    r = targets - c
    rn = np.linalg.norm(r, axis=1)[:, None]
    expected = (3 * r * (r @ moment)[:, None] / rn**2 - moment) / (4 * np.pi * rn**3)
    np.testing.assert_allclose(h, expected, rtol=1e-12, atol=1e-15)
    inside = c + directions[:10] * rng.uniform(0, radius, size=10)[:, None]
    np.testing.assert_allclose(h_mag_point(c, v, m[None, :], inside), np.tile(-m / 3, (10, 1)), rtol=1e-13)


def test_target_exactly_on_radius_uses_inside_formula():
    v = np.array([sphere_volume(1.0)])
    radius = np.cbrt(3.0 * v[0] / 12.566370614359172)
    h = h_mag_point(np.zeros((1, 3)), v, np.array([[0, 0, 3.0]]), np.array([[0, 0, radius], [0, 0, 0.0]]))
    np.testing.assert_allclose(h, [[0, 0, -1.0], [0, 0, -1.0]], rtol=1e-14)


def test_zero_volume_dipole():
    h = h_mag_point(np.zeros((1, 3)), np.zeros(1), np.array([[0, 0, 1.0]]), np.array([[0, 0, 0.0], [1.0, 2, 3]]))
    assert not np.all(np.isfinite(h[0]))
    assert np.array_equal(h[1], [0, 0, 0])


def biot_savart(src, vol, j, tgt):
    d = tgt[:, None, :] - src[None, :, :]
    r3 = np.linalg.norm(d, axis=2) ** 3
    return np.einsum("s,tsk,ts->tk", vol, np.cross(j[None, :, :], d), 1.0 / (4 * np.pi * r3))


def test_current_elements_follow_biot_savart_outside_their_core(rng):
    src = rng.uniform(-1, 1, size=(40, 3))
    vol = rng.uniform(1e-5, 1e-4, size=40)
    j = rng.normal(size=(40, 3))
    tgt = rng.uniform(-1, 1, size=(30, 3)) + np.array([3.0, 0, 0])
    h = _zandrel.h_current_point_direct(src, vol, j, tgt, 0)
    np.testing.assert_allclose(h, biot_savart(src, vol, j, tgt), rtol=1e-12)


def test_current_element_core_rises_linearly_and_is_zero_at_the_source():
    vol = np.array([sphere_volume(0.5)])
    j = np.array([[0, 0, 2.0]])
    tgt = np.array([[0, 0, 0.0], [0.1, 0, 0], [0.2, 0, 0], [0.5, 0, 0], [1.0, 0, 0]])
    h = _zandrel.h_current_point_direct(np.zeros((1, 3)), vol, j, tgt, 1)
    assert np.array_equal(h[0], [0, 0, 0])
    np.testing.assert_allclose(h[2, 1] / h[1, 1], 2.0, rtol=1e-12)
    outside = biot_savart(np.zeros((1, 3)), vol, j, tgt[3:])
    np.testing.assert_allclose(h[3:], outside, rtol=1e-12)


def test_negative_volume_current_has_no_core():
    vol = np.array([-sphere_volume(1.0)])
    tgt = np.array([[0.1, 0, 0]])
    h = _zandrel.h_current_point_direct(np.zeros((1, 3)), vol, np.array([[0, 0, 1.0]]), tgt, 1)
    np.testing.assert_allclose(h, biot_savart(np.zeros((1, 3)), vol, np.array([[0, 0, 1.0]]), tgt), rtol=1e-12)


@pytest.mark.parametrize("fn", ["mag", "current"])
def test_results_are_identical_for_every_thread_count(rng, fn):
    src = rng.uniform(-1, 1, size=(64, 3))
    vol = rng.uniform(1e-4, 1e-3, size=64)
    vec = rng.normal(size=(64, 3))
    tgt = rng.uniform(-1.5, 1.5, size=(1001, 3))
    tgt[:64] = src  # targets exactly on sources
    results = []
    for n in (0, 1, 2, 3, 7, 64, 5000, 4294967295):
        if fn == "mag":
            results.append(h_mag_point(src, vol, vec, tgt, n))
        else:
            results.append(_zandrel.h_current_point_direct(src, vol, vec, tgt, n))
    for r in results[1:]:
        assert np.array_equal(r, results[0])


def test_any_memory_layout_gives_the_same_result(rng):
    src = rng.uniform(-1, 1, size=(20, 3))
    vol = rng.uniform(1e-4, 1e-3, size=20)
    vec = rng.normal(size=(20, 3))
    tgt = rng.uniform(-2, 2, size=(15, 3))
    ref = h_mag_point(src, vol, vec, tgt)
    wide = np.zeros((20, 7))
    wide[:, ::2][:, :3] = src  # strided view with step 2
    fortran_vec = np.asfortranarray(vec)
    reversed_tgt = tgt[::-1].copy()[::-1]  # negative strides
    extra_column = np.column_stack([tgt, np.full(15, 9.0)])  # fourth column ignored
    assert np.array_equal(h_mag_point(wide[:, ::2][:, :3], vol, fortran_vec, reversed_tgt), ref)
    assert np.array_equal(h_mag_point(src, vol, vec, extra_column), ref)
    cref = _zandrel.h_current_point_direct(src, vol, vec, tgt, 0)
    assert np.array_equal(_zandrel.h_current_point_direct(np.asfortranarray(src), vol, vec[::-1][::-1], tgt, 0), cref)


def test_empty_inputs():
    empty = np.zeros((0, 3))
    tgt = np.ones((4, 3))
    assert h_mag_point(np.ones((2, 3)), np.ones(2), np.ones((2, 3)), empty).shape == (0, 3)
    assert np.array_equal(h_mag_point(empty, np.zeros(0), empty, tgt), np.zeros((4, 3)))
    assert np.array_equal(_zandrel.h_current_point_direct(empty, np.zeros(0), empty, tgt, 0), np.zeros((4, 3)))
    assert _zandrel.h_current_point_direct(np.ones((2, 3)), np.ones(2), np.ones((2, 3)), empty, 0).shape == (0, 3)


def test_extra_volumes_and_vectors_are_ignored(rng):
    src = rng.uniform(-1, 1, size=(5, 3))
    vol = rng.uniform(1e-4, 1e-3, size=8)
    vec = rng.normal(size=(8, 3))
    tgt = rng.uniform(-2, 2, size=(6, 3))
    assert np.array_equal(h_mag_point(src, vol, vec, tgt), h_mag_point(src, vol[:5].copy(), vec[:5], tgt))


@pytest.mark.parametrize("short", ["volumes", "mvectors"])
def test_too_few_volumes_or_vectors_abort(short):
    src = np.zeros((5, 3))
    vol = np.ones(5)
    vec = np.ones((5, 3))
    if short == "volumes":
        vol = vol[:3].copy()
    else:
        vec = vec[:2]
    n = 3 if short == "volumes" else 2
    with pytest.raises(_zandrel.PanicException, match=f"^index out of bounds: the len is {n} but the index is {n}$"):
        h_mag_point(src, vol, vec, np.ones((2, 3)))


def test_fewer_than_three_columns_abort_only_with_rows():
    with pytest.raises(_zandrel.PanicException, match="^ndarray: index out of bounds$"):
        h_mag_point(np.zeros((2, 2)), np.ones(2), np.ones((2, 3)), np.ones((1, 3)))
    assert h_mag_point(np.zeros((0, 2)), np.ones(0), np.ones((0, 3)), np.ones((1, 3))).shape == (1, 3)


def test_non_finite_inputs_give_defined_results():
    src = np.array([[np.nan, 0, 0], [np.inf, 0, 0], [0, 0, 0]])
    h = h_mag_point(src, np.array([1.0, 1.0, np.nan]), np.ones((3, 3)), np.array([[1.0, 1.0, 1.0]]))
    assert h.shape == (1, 3)
    h = _zandrel.h_current_point_direct(src, np.array([1.0, np.inf, 1.0]), np.ones((3, 3)),
                                        np.array([[1.0, 1.0, 1.0], [np.nan, 0, 0]]), 0)
    assert h.shape == (2, 3)


def test_theta_and_leaf_threshold_do_not_change_the_direct_path(rng):
    src = rng.uniform(-1, 1, size=(10, 3))
    args = (src, np.full(10, 1e-3), rng.normal(size=(10, 3)), rng.uniform(-2, 2, size=(7, 3)))
    ref = _zandrel.h_mag_point(*args, 0.0, 0, 0, False)
    for theta, leaf in ((0.5, 1), (np.nan, 4294967295), (-3.0, 7)):
        assert np.array_equal(_zandrel.h_mag_point(*args, theta, leaf, 0, False), ref)
