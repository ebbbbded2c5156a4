"""Forces and torques on the bodies of a solved model: the Kelvin charge form
and the Maxwell stress against exact values, against each other, against
Newton's third law, an image-magnet estimate and magpylib."""
import numpy as np
import pytest

import zandrel
from zandrel.constants import MU0

MM = 1e-3
ABOUT = np.array([2 * MM, 1 * MM, 17 * MM])


def magnets(gap, divisions=(2, 3)):
    """Two 10 mm cubes, 'b' above 'a' (offset sideways), rigid magnets
    polarised differently."""
    a = zandrel.box_mesh(10 * MM, divisions[0], region="a")
    b = zandrel.box_mesh(10 * MM, divisions[1], center=(2 * MM, 1 * MM, 10 * MM + gap), region="b")
    materials = {"a": zandrel.PermanentMagnet(polarization=(0.0, 0.0, 1.2)),
                 "b": zandrel.PermanentMagnet(polarization=(0.3, 0.2, 1.0))}
    return zandrel.solve([a, b], materials)


@pytest.fixture(scope="module")
def pair():
    return magnets(2 * MM)


@pytest.mark.parametrize("exact, tolerance", [(True, 2e-5), (False, 3e-3)])
def test_both_routes_and_the_reaction_agree(pair, exact, tolerance):
    kelvin = pair.force("b", ABOUT, method="kelvin", exact=exact)
    maxwell = pair.force("b", ABOUT, method="maxwell", exact=exact)
    reaction = pair.force("a", ABOUT, method="kelvin", exact=exact)
    scale, torque_scale = np.linalg.norm(kelvin[0]), np.linalg.norm(kelvin[1])
    assert 15.0 < scale < 25.0  # N: two 1 T cubes of 1 cm, 2 mm apart
    for other in (maxwell, (-reaction[0], -reaction[1])):  # torques about one point cancel too
        np.testing.assert_allclose(other[0], kelvin[0], rtol=0, atol=tolerance * scale)
        np.testing.assert_allclose(other[1], kelvin[1], rtol=0, atol=5 * tolerance * torque_scale)


def test_against_magpylib(pair):
    magpy = pytest.importorskip("magpylib")
    a = magpy.magnet.Cuboid(dimension=(10 * MM,) * 3, polarization=(0.0, 0.0, 1.2))
    b = magpy.magnet.Cuboid(dimension=(10 * MM,) * 3, polarization=(0.3, 0.2, 1.0), position=(2 * MM, 1 * MM, 12 * MM))
    force, torque = magpy.getFT(a, b, pivot=ABOUT, meshing=(20, 20, 20))
    ours = pair.force("b", ABOUT, method="maxwell")
    np.testing.assert_allclose(ours[0], force, rtol=0, atol=0.01 * np.linalg.norm(force))
    np.testing.assert_allclose(ours[1], torque, rtol=0, atol=0.01 * np.linalg.norm(torque))


@pytest.mark.parametrize("method, tolerance", [("kelvin", 1e-6), ("maxwell", 5e-5)])
def test_rigid_magnet_in_a_linear_field(method, tolerance):
    # H = H0 + G x, G symmetric and traceless (curl- and divergence-free):
    # F = mu0 V G M, torque about the centre c = mu0 V M x H(c).
    g = np.array([[1.0, 2.0, 0.5], [2.0, -3.0, 1.0], [0.5, 1.0, 2.0]]) * 1e6
    h0, c = np.array([1e4, -2e4, 5e3]), np.array([0.01, 0.02, -0.01])
    magnet = zandrel.PermanentMagnet(polarization=(0.2, -0.3, 1.1))
    sol = zandrel.solve(zandrel.box_mesh((0.01, 0.02, 0.005), (2, 4, 1), c), magnet,
                        applied=lambda p: h0 + p @ g.T)
    force, torque = sol.force(None, about=c, method=method, exact=True)
    volume, m = 0.01 * 0.02 * 0.005, magnet.remanence
    np.testing.assert_allclose(force, MU0 * volume * g @ m, rtol=tolerance)
    np.testing.assert_allclose(torque, MU0 * volume * np.cross(m, h0 + g @ c), rtol=tolerance)


def plate_model(cells, tol=1e-8):
    """A 10 mm magnet 2 mm above a 40 x 40 x 10 mm plate of chi = 1000,
    ``cells`` mesh cells along the magnet's edge (4x as many along the
    plate's)."""
    magnet = zandrel.box_mesh(10 * MM, cells, center=(0, 0, 7 * MM), region="magnet")
    plate = zandrel.box_mesh((40 * MM, 40 * MM, 10 * MM), (4 * cells, 4 * cells, cells), center=(0, 0, -5 * MM),
                             region="plate")
    return zandrel.solve([magnet, plate], {"magnet": zandrel.PermanentMagnet(polarization=(0, 0, 1.2)),
                                           "plate": zandrel.LinearMaterial(chi=1000.0)}, tol=tol)


@pytest.fixture(scope="module")
def magnet_over_plate():
    return plate_model(2)


def test_magnet_and_iron_plate(magnet_over_plate):
    sol = magnet_over_plate
    on_plate = sol.force("plate", method="kelvin")[0]
    for force in (sol.force("plate", method="maxwell")[0], -sol.force("magnet", method="kelvin")[0],
                  -sol.force("magnet", method="maxwell")[0]):
        np.testing.assert_allclose(force, on_plate, rtol=0, atol=0.01 * on_plate[2])
    # Image estimate: an iron half-space of infinite permeability pulls the
    # magnet like its mirror image (same M, 2 mm below the surface) would.
    # The finite plate of finite permeability pulls a little less.
    image = zandrel.box_mesh(10 * MM, 2, center=(0, 0, -7 * MM), region="image")
    twins = zandrel.solve([sol.mesh.submesh("magnet"), image], zandrel.PermanentMagnet(polarization=(0, 0, 1.2)))
    estimate = -twins.force("magnet", method="kelvin", exact=True)[0][2]
    assert 0.97 * estimate < on_plate[2] < 1.02 * estimate


def test_plate_force_converges_under_refinement(magnet_over_plate):
    # 816, 2754 and 6528 elements: each refinement changes the force by a
    # fraction of the change before, and the reaction stays opposite.
    forces = [magnet_over_plate.force("plate")[0][2]]
    for cells in (3, 4):
        sol = plate_model(cells, tol=1e-6)
        forces.append(sol.force("plate")[0][2])
        np.testing.assert_allclose(-sol.force("magnet", method="kelvin")[0][2], forces[-1], rtol=0.01)
    steps = np.abs(np.diff(forces))
    assert steps[1] < 0.5 * steps[0]
    assert steps[1] < 0.01 * forces[-1]


@pytest.fixture(scope="module")
def ball_under_dipole():
    dipole = zandrel.DipoleSource([0.0, 0.004, 0.02], [0.0, 0.3, 1.0])  # A m², 2 cm above a 5 mm iron ball
    ball = zandrel.sphere_mesh(0.005, 4, region="ball")
    return dipole, zandrel.solve(ball, zandrel.LinearMaterial(chi=1000.0), applied=dipole + (1e3, 0.0, 0.0),
                                 tol=1e-8)


@pytest.mark.parametrize("method", ["maxwell", "kelvin"])
def test_ball_in_a_dipole_field_pulls_the_dipole_back(ball_under_dipole, method):
    # Reaction: the force on the dipole, mu0 (m.grad) H_ball at its position
    # by central differences of the ball's exact field (curl-free there).
    dipole, sol = ball_under_dipole
    h, moment, where = 1e-5, dipole.moments[0], dipole.positions[0]
    steps = where + h * np.array([1.0, -1.0])[None, :, None] * np.eye(3)[:, None, :]  # (axis, sign, 3)
    field = zandrel.h_mag_tet4(*sol.mesh, sol.M, steps.reshape(-1, 3)).reshape(3, 2, 3)
    gradient = (field[:, 0] - field[:, 1]) / (2 * h)  # row j: d H / d x_j
    on_dipole = MU0 * moment @ gradient
    force = sol.force("ball", method=method)[0]
    assert np.linalg.norm(on_dipole) > 1e-3  # N
    np.testing.assert_allclose(force, -on_dipole, rtol=0, atol=1e-3 * np.linalg.norm(on_dipole))


def test_contact_needs_kelvin_and_is_the_limit_of_a_closing_gap():
    touching, nearly = magnets(0.0), magnets(1e-9)
    with pytest.raises(ValueError, match="method='kelvin'"):
        touching.force("b")
    contact = touching.force("b", ABOUT, method="kelvin", exact=True)
    limit = nearly.force("b", ABOUT, method="kelvin", exact=True)
    np.testing.assert_allclose(contact[0], limit[0], rtol=1e-5)
    np.testing.assert_allclose(contact[1], limit[1], rtol=1e-5)
    reaction = touching.force("a", ABOUT, method="kelvin", exact=True)[0]
    np.testing.assert_allclose(reaction, -contact[0], rtol=0, atol=0.01 * np.linalg.norm(contact[0]))


@pytest.mark.parametrize("change, error, match", [
    (dict(method="virtual"), ValueError, "method must be"),
    (dict(region=np.zeros(0, dtype=int)), ValueError, "selects no elements"),
    (dict(region="lid"), KeyError, "no region 'lid'"),
    (dict(margin=3 * MM), ValueError, "margin must be smaller than the clearance"),
    (dict(method="kelvin", margin=1 * MM), TypeError, "margin applies"),
    (dict(about=(0, 0)), ValueError, "about must be a 3-vector"),
])
def test_bad_force_arguments(pair, change, error, match):
    arguments = dict(region="b")
    arguments.update(change)
    with pytest.raises(error, match=match):
        pair.force(**arguments)
