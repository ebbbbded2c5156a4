"""Magnetic forces in SI units: Maxwell stress on surfaces, the Kelvin force
density in volumes, and their totals with the torque about a point.

Two routes to the force on a body:

- Maxwell stress: integrate T n over a closed surface around the body (its
  boundary faces, or any surface in the air around it), with the total
  flux density B there (from every source, the body included).
- Kelvin: integrate mu0 (M . grad) H over the body's volume, with M the
  body's magnetisation and H the field of every *other* source: the body's
  own field exerts no net force on it, and including it adds a spurious
  self-force on a discretised body.
"""
import numpy as np

import _zandrel
from zandrel._convert import as_connectivity, as_points, as_values, as_vector, as_vectors
from zandrel._docs import docstring
from zandrel.constants import MU0

__all__ = ["maxwell_surface_forces", "maxwell_force", "kelvin_force_density", "kelvin_force", "total_force"]


def total_force(forces, points, about=(0.0, 0.0, 0.0)):
    """Sum of point forces and their torque about a point.

    Parameters
    ----------
    forces : array_like, shape (K, 3)
        Forces in N (per face, per element, ...).
    points : array_like, shape (K, 3)
        Where each force acts, in m (face or element centroids).
    about : array_like, shape (3,), default (0, 0, 0)
        Reference point of the torque, in m.

    Returns
    -------
    force : ndarray, shape (3,)
        Total force in N.
    torque : ndarray, shape (3,)
        Total torque sum((p - about) x f) in N·m.
    """
    forces = as_points(forces, "forces")
    points = as_points(points, "points")
    if len(points) != len(forces):
        raise ValueError(f"points must have one row per force: {len(points)} points for {len(forces)} forces")
    arm = points - as_vector(about, "about")
    return forces.sum(axis=0), np.cross(arm, forces).sum(axis=0)


def _check_surface(areas, normals, b_field):
    normals = as_points(normals, "normals")
    areas = as_values(areas, "areas", len(normals), minimum=0.0)
    return areas, normals, as_vectors(b_field, "b_field", len(normals))


def maxwell_surface_forces(areas, normals, b_field):
    """Force on each surface face from the vacuum Maxwell stress.

    F = A T n with T = (B B^T - |B|^2 I / 2) / mu0, per face, no sum. Over a
    closed surface around a body, with outward normals and the total flux
    density on it, the rows add up to the force on the body.

    Parameters
    ----------
    areas : array_like, shape (F,)
        Face areas in m² (``mesh.boundary()`` gives areas, centroids and
        outward unit normals).
    normals : array_like, shape (F, 3)
        Unit normals pointing away from the body (used as given).
    b_field : array_like, shape (F, 3) or (3,)
        Flux density at each face (its centroid) in T.

    Returns
    -------
    forces : ndarray, shape (F, 3)
        Force on each face in N.

    Notes
    -----
    The stress divides by mu0 = 4 pi 1e-7 N/A², 5.5e-10 relative below the
    :data:`zandrel.constants.MU0` the package uses elsewhere; the
    difference is far below any discretisation error.
    """
    return _zandrel.mesh_surface_forces(*_check_surface(areas, normals, b_field))


def maxwell_force(areas, centroids, normals, b_field, *, about=(0.0, 0.0, 0.0)):
    """Total force and torque from the Maxwell stress on a closed surface.

    Parameters
    ----------
    areas, normals, b_field
        As :func:`maxwell_surface_forces`.
    centroids : array_like, shape (F, 3)
        Face centroids in m, where each face force acts.
    about : array_like, shape (3,), default (0, 0, 0)
        Reference point of the torque, in m.

    Returns
    -------
    force : ndarray, shape (3,)
        In N.
    torque : ndarray, shape (3,)
        About ``about``, in N·m.
    """
    return total_force(maxwell_surface_forces(areas, normals, b_field), centroids, about)


def _check_kelvin(nodes, connectivity, magnetization, h_nodes):
    nodes = as_points(nodes, "nodes")
    connectivity = as_connectivity(connectivity, "connectivity", len(nodes))
    magnetization = as_vectors(magnetization, "magnetization", len(connectivity))
    h_nodes = as_vectors(h_nodes, "h_nodes", len(nodes))
    return nodes, connectivity, magnetization, h_nodes


@docstring
def kelvin_force_density(nodes, connectivity, magnetization, h_nodes):
    """Kelvin force density f = mu0 (M . grad) H per element, in N/m³.

    H is taken as linear in each element (its values at the nodes), so its
    gradient is constant per element; M is uniform per element.

    Parameters
    ----------
    {tet4}
    magnetization : array_like, shape (E, 3) or (3,)
        Magnetisation of each element in A/m.
    h_nodes : array_like, shape (N, 3)
        Field strength at the nodes in A/m: for the force on a body, the
        field of every source except the body itself (see the module
        notes).

    Returns
    -------
    density : ndarray, shape (E, 3)
        mu0 (M . grad) H in N/m³ ({mu0}); times the
        element volumes it is the force on each element.
    """
    return MU0 * _zandrel.mesh_kelvin_force_density(*_check_kelvin(nodes, connectivity, magnetization, h_nodes))


def kelvin_force(nodes, connectivity, magnetization, h_nodes, *, about=(0.0, 0.0, 0.0)):
    """Total Kelvin force and torque on a magnetised body.

    Force: the sum over the elements of ``kelvin_force_density`` times the
    element volume. Torque: the moment of those forces about ``about``
    (acting at the element centroids) plus the couple mu0 M x H V of each
    element (H at its centroid, the mean of its nodes), which a magnetised
    body feels even in a uniform field. Arguments as
    :func:`kelvin_force_density`; ``h_nodes`` must exclude the body's own
    field.

    Returns
    -------
    force : ndarray, shape (3,)
        In N.
    torque : ndarray, shape (3,)
        About ``about`` (m), in N·m.
    """
    nodes, connectivity, magnetization, h_nodes = _check_kelvin(nodes, connectivity, magnetization, h_nodes)
    volumes = _zandrel.mesh_volumes(nodes, connectivity)[:, None]
    forces = MU0 * _zandrel.mesh_kelvin_force_density(nodes, connectivity, magnetization, h_nodes) * volumes
    force, torque = total_force(forces, _zandrel.mesh_centroids(nodes, connectivity), about)
    h_centroids = h_nodes[connectivity.astype(np.int64)].mean(axis=1)
    return force, torque + MU0 * (np.cross(magnetization, h_centroids) * volumes).sum(axis=0)
