"""Materials: their laws both ways, their derivatives, and refused input;
the assignment of materials to regions and elements."""
import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import zandrel
from zandrel.material_map import MaterialMap
from solve_cases import iron_curve

MU0 = zandrel.MU0
ROTATION = Rotation.from_euler("xyz", [0.3, -0.5, 1.1]).as_matrix()
MATERIALS = {
    "linear": zandrel.LinearMaterial(chi=300.0),
    "anisotropic": zandrel.LinearMaterial(chi=(5.0, 40.0, 900.0), axes=ROTATION),
    "magnet": zandrel.PermanentMagnet(polarization=(0.1, -0.2, 1.2), recoil=0.05),
    "iron": iron_curve(),
}


@pytest.mark.parametrize("name", MATERIALS)
def test_field_strength_inverts_the_law_and_reluctivity_is_its_derivative(name, rng):
    material = MATERIALS[name]
    H = rng.normal(size=(50, 3)) * np.logspace(0, 6, 50)[:, None]  # from the initial slope into saturation
    B = MU0 * (H + material.magnetization(H))
    np.testing.assert_allclose(material.field_strength(B), H, rtol=1e-9, atol=1e-9)
    step = 1e-7 * np.linalg.norm(B, axis=1)
    nu = material.differential_reluctivity(B)
    for j in range(3):
        dB = np.zeros_like(B)
        dB[:, j] = step
        numeric = MU0 * (material.field_strength(B + dB) - material.field_strength(B - dB)) / (2 * step[:, None])
        np.testing.assert_allclose(nu[:, :, j], numeric, rtol=1e-5, atol=1e-7)
    assert np.all(np.linalg.eigvalsh(0.5 * (nu + np.swapaxes(nu, 1, 2))) > 0.0)


def test_tensor_susceptibility_from_principal_values_along_axes():
    material = MATERIALS["anisotropic"]
    np.testing.assert_allclose(material.chi, ROTATION.T @ np.diag([5.0, 40.0, 900.0]) @ ROTATION, atol=1e-12)
    np.testing.assert_allclose(material.magnetization([ROTATION[2]]), [900.0 * ROTATION[2]], rtol=1e-12)


def test_magnet_from_polarization_or_magnetization():
    a = zandrel.PermanentMagnet(polarization=(0, 0, 1.2))
    b = zandrel.PermanentMagnet(magnetization=(0, 0, 1.2 / MU0))
    np.testing.assert_allclose(a.remanence, b.remanence)
    np.testing.assert_allclose(a.magnetization([[0.0, 0.0, 0.0]]), [[0.0, 0.0, 1.2 / MU0]])


def test_bh_curve_interpolates_monotonically_and_saturates_with_slope_mu0():
    iron = MATERIALS["iron"]
    np.testing.assert_allclose(iron.magnetization_curve(iron.H), iron.B / MU0 - iron.H, rtol=1e-12, atol=1e-6)
    h = np.linspace(0.0, 2 * iron.H[-1], 20001)
    m = iron.magnetization_curve(h)
    assert np.all(np.diff(m) >= 0.0)
    beyond = h > iron.H[-1]
    b = MU0 * (h + m)
    np.testing.assert_allclose(b[beyond], iron.B[-1] + MU0 * (h[beyond] - iron.H[-1]), rtol=1e-12)
    np.testing.assert_allclose(iron.field_strength_curve(b), h, rtol=1e-10, atol=1e-9)


@pytest.mark.parametrize("H, B, match", [
    ([0, 100, 50, 200], [0, 1, 1.2, 1.5], "H must increase strictly"),
    ([0, 100, 200, 300], [0, 1.0, 0.9, 1.5], "not monotone: B"),
    ([10, 100, 200], [0.1, 1.0, 1.5], "start at the origin"),
    ([0, 100], [0, 1.0], "at least 3 points"),
    ([0, 100, 200, 1e6], [0, 1.0, 1.5, 1.6], "rises more slowly than mu0"),
    ([0, 100, 200], [0, 1.0], "same length"),
    ([0, 100, np.nan], [0, 1.0, 1.5], "finite"),
    ([[0, 100, 200]], [[0, 1.0, 1.5]], "1-D"),
])
def test_bad_bh_curves_are_refused(H, B, match):
    with pytest.raises(ValueError, match=match):
        zandrel.NonlinearMaterial(H=H, B=B)


@pytest.mark.parametrize("make, error, match", [
    (lambda: zandrel.LinearMaterial(chi=-1.0), ValueError, "exceed -1"),
    (lambda: zandrel.LinearMaterial(chi=[[1, 2, 0], [0, 1, 0], [0, 0, 1]]), ValueError, "symmetric"),
    (lambda: zandrel.LinearMaterial(chi=(1, 2)), ValueError, "chi must be a scalar"),
    (lambda: zandrel.LinearMaterial(chi="iron"), TypeError, "chi must be"),
    (lambda: zandrel.LinearMaterial(chi=(1, 2, 3), axes=np.ones((3, 3))), ValueError, "orthonormal"),
    (lambda: zandrel.PermanentMagnet(), TypeError, "exactly one"),
    (lambda: zandrel.PermanentMagnet(polarization=(0, 1.2)), ValueError, "polarization must be a 3-vector"),
    (lambda: zandrel.PermanentMagnet(polarization=(0, 0, 1), recoil=np.nan), ValueError, "recoil must be finite"),
])
def test_bad_material_parameters_name_the_argument(make, error, match):
    with pytest.raises(error, match=match):
        make()


def test_materials_by_region_by_element_and_for_the_whole_mesh():
    mesh = zandrel.Mesh(*zandrel.sphere_mesh(1.0, 2), regions={"a": [0, 1, 2], "b": np.arange(3, 48)})
    iron, magnet = MATERIALS["linear"], MATERIALS["magnet"]
    by_region = MaterialMap(mesh, {"a": magnet, "b": iron})
    assert by_region.element_materials()[0] is magnet and by_region.element_materials()[3] is iron
    per_element = MaterialMap(mesh, [magnet] * 3 + [iron] * 45)
    np.testing.assert_array_equal(per_element.index, by_region.index)
    assert MaterialMap(mesh, iron).materials == (iron,)
    with pytest.raises(ValueError, match=r"regions \['b'\] have no material"):
        MaterialMap(mesh, {"a": iron})
    with pytest.raises(ValueError, match="does not have"):
        MaterialMap(mesh, {"a": iron, "b": iron, "core": iron})
    partial = zandrel.Mesh(*mesh, regions={"a": [0, 1]})
    with pytest.raises(ValueError, match="elements 2, 3, 4"):
        MaterialMap(partial, {"a": iron})
    with pytest.raises(ValueError, match="one per element"):
        MaterialMap(mesh, [iron])
    with pytest.raises(TypeError, match="materials must be a material"):
        MaterialMap(mesh, 1000.0)
