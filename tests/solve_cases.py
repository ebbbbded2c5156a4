"""Bodies with known answers, shared by the solver tests and benchmark."""
import numpy as np
from scipy.optimize import brentq

import zandrel


def iron_curve():
    """A soft iron: initial permeability about 5000, saturating near 2 T
    (B = μ0 H + (4 Js/π) atan(π μ0 χ0 H / (2 Js)), Js = 2 T), as a table."""
    h = np.array([0.0, 50, 100, 150, 200, 300, 500, 800, 1200, 2000, 4000, 8000, 15000, 30000, 60000, 1e5, 2e5])
    js, chi0 = 2.0, 5000.0
    b = zandrel.MU0 * h + js * (2.0 / np.pi) * np.arctan(np.pi * zandrel.MU0 * chi0 * h / (2.0 * js))
    return zandrel.NonlinearMaterial(H=h, B=b)


def spheroid_mesh(divisions, ratio=2.0, radius=1.0):
    """A prolate spheroid: the sphere mesh stretched by ``ratio`` along z."""
    sphere = zandrel.sphere_mesh(radius, divisions)
    return zandrel.Mesh(sphere.nodes * [1.0, 1.0, ratio], sphere.elements)


def prolate_factors(ratio):
    """Demagnetising factors (N_x = N_y, N_z) of a prolate spheroid with axis ratio c/a."""
    e = np.sqrt(1.0 - 1.0 / ratio ** 2)
    nz = (1.0 - e ** 2) / e ** 3 * (np.arctanh(e) - e)
    return (1.0 - nz) / 2.0, nz


def scalar_sphere(material, h0):
    """Magnetisation of a sphere of a nonlinear material in the uniform field
    h0 (A/m): M = m(H_in) with H_in = h0 - M/3."""
    return brentq(lambda m: m - material.magnetization_curve(h0 - m / 3.0), 0.0, 3.0 * h0, xtol=1e-12 * h0)


def mean_magnetization(solution):
    """Volume-weighted mean of the element magnetisations (3,) in A/m."""
    volumes = solution.mesh.volumes
    return volumes @ solution.M / volumes.sum()
