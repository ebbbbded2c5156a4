"""Field sources that are not solved for: current-carrying conductors and
point dipoles.

They are what a model is placed in (``zandrel.solve(..., applied=coil)``)
and fields in their own right: ``field(points)`` gives H in A/m and
``flux_density(points)`` B in T at points of any shape ``(..., 3)`` in m,
by the package's field functions. Sources add up with ``+``, together with
solved bodies (:class:`zandrel.Solution`), uniform fields and functions.
"""
import numpy as np

from zandrel._convert import as_points, as_positive, as_values, as_vectors
from zandrel.applied import Source
from zandrel.fields import (_check_options, _evaluate_b_mag_point, _evaluate_h_current_tet4,
                            _evaluate_h_mag_point)
from zandrel.mesh import Mesh

__all__ = ["CurrentSource", "DipoleSource"]

# The volume of the sphere that stands for a point dipole: the kernels give
# a dipole a uniformly magnetised core of that volume (finite field at its
# centre). 1e-30 m³ is a sphere of 62 pm radius, below the size of an atom,
# where a point dipole is no model of anything.
_POINT_VOLUME = 1e-30


def _as_mesh(mesh, name):
    if isinstance(mesh, Mesh):
        return mesh
    if isinstance(mesh, (tuple, list)) and len(mesh) == 2:
        return Mesh(*mesh)
    raise TypeError(f"{name} must be a zandrel.Mesh or a (nodes, elements) pair, got {type(mesh).__name__}")


class CurrentSource(Source):
    """Tetrahedra carrying uniform current densities (a coil, a bus bar).

    Parameters
    ----------
    mesh : zandrel.Mesh or (nodes, elements)
        The conductor, lengths in m. It is not magnetic and takes no part in
        a solve other than through its field.
    current_density : array_like, shape (E, 3) or (3,)
        Current density J of each element in A/m² (one vector for all). For
        the field of a physical current it should be divergence-free across
        the mesh: the normal component of J continuous from element to
        element and zero on the conductor's surface (a closed coil).
    use_octree : bool, keyword-only, default False
        Evaluate by the Barnes-Hut octree instead of the exact direct sum
        (for conductors of 10^5 elements and more; see
        :func:`zandrel.h_current_tet4`).
    theta, leaf_threshold, threads
        As for :func:`zandrel.h_current_tet4`.

    Notes
    -----
    H is the Biot-Savart integral of each element in closed form (exact up
    to the kernels' fast arctangent and logarithm); B = μ0·H everywhere.

    Examples
    --------
    >>> bar = zandrel.box_mesh((0.1, 0.01, 0.01), (20, 2, 2))
    >>> coil = zandrel.CurrentSource(bar, (1e6, 0.0, 0.0))       # 100 A along x
    >>> coil.flux_density([0.0, 0.02, 0.0])                       # T
    """

    def __init__(self, mesh, current_density, *, use_octree=False, theta=0.5, leaf_threshold=8, threads=0):
        self.mesh = _as_mesh(mesh, "mesh")
        self.current_density = as_vectors(current_density, "current_density", self.mesh.n_elements)
        self.current_density.flags.writeable = False
        self._options = _check_options(use_octree, False, theta, leaf_threshold, threads)

    def _field(self, points):
        return _evaluate_h_current_tet4(self.mesh.nodes, self.mesh.elements, self.current_density, points,
                                        self._options)

    def obstacles(self):
        corners = self.mesh.nodes[self.mesh.elements.astype(np.int64)]
        return corners.min(axis=1), corners.max(axis=1)

    def __repr__(self):
        return f"CurrentSource({self.mesh.n_elements} elements)"


class DipoleSource(Source):
    """Magnetic point dipoles.

    Parameters
    ----------
    positions : array_like, shape (N, 3) or (3,)
        Where the dipoles sit, in m.
    moments : array_like, shape (N, 3) or (3,)
        Their magnetic moments in A·m² (a magnet of polarisation J and
        volume V has the moment J·V/μ0).
    radius : float or array_like (N,), keyword-only, optional
        Make each dipole a uniformly magnetised sphere of this radius in m:
        outside it the field is exactly the point dipole's, inside it is
        the sphere's uniform field -M/3 (and B = μ0·2M/3). By default the
        dipoles are points (a sphere of 62 pm radius: finite, but
        meaningless, very near a dipole).
    use_octree : bool, keyword-only, default False
        Evaluate by the Barnes-Hut octree instead of the direct sum (for
        10^5 dipoles and more).
    theta, leaf_threshold, threads
        As for :func:`zandrel.h_mag_point`.

    Examples
    --------
    >>> earth_like = zandrel.DipoleSource([0, 0, 0], [0, 0, 1.0])   # 1 A·m² along z
    >>> earth_like.field([0, 0, 0.1])          # 2 m / (4 pi r^3) = (0, 0, 159.15) A/m
    """

    def __init__(self, positions, moments, *, radius=None, use_octree=False, theta=0.5, leaf_threshold=8,
                 threads=0):
        self.positions = as_points(positions, "positions", allow_single=True)
        count = len(self.positions)
        self.moments = as_vectors(moments, "moments", count)
        if radius is None:
            self.volumes = np.full(count, _POINT_VOLUME)
        else:
            radii = as_values(radius, "radius", count, minimum=0.0)
            if not (radii > 0.0).all():
                raise ValueError("radius must be positive (omit it for point dipoles)")
            self.volumes = 4.0 / 3.0 * np.pi * radii ** 3
        for array in (self.positions, self.moments, self.volumes):
            array.flags.writeable = False
        self._magnetization = self.moments / self.volumes[:, None]
        self._options = _check_options(use_octree, False, theta, leaf_threshold, threads)

    @property
    def radii(self):
        """(N,) radii of the dipoles' spheres in m."""
        return np.cbrt(3.0 * self.volumes / (4.0 * np.pi))

    def _field(self, points):
        return _evaluate_h_mag_point(self.positions, self.volumes, self._magnetization, points, self._options)

    def _flux_density(self, points):
        return _evaluate_b_mag_point(self.positions, self.volumes, self._magnetization, points, self._options)

    def obstacles(self):
        r = self.radii[:, None]
        return self.positions - r, self.positions + r

    def __repr__(self):
        return f"DipoleSource({len(self.positions)} dipoles)"
