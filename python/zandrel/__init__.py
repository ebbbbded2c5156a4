"""zandrel: magnetostatics of tetrahedral meshes and point clouds.

SI units throughout the package: lengths in m, magnetisation and field
strength H in A/m, flux density B and polarisation in T, forces in N.

- :class:`Mesh`: tetrahedral meshes with named regions (checked, orientation
  repaired); :func:`sphere_mesh` meshes a ball.
- ``python -m zandrel`` runs the demonstration.

The low-level extension module ``_zandrel`` holds the fourteen native
functions the package is built on.
"""
from zandrel.capture import captured_fd1
from zandrel.mesh import Mesh, signed_volumes
from zandrel.meshers import divisions_for, sphere_mesh

__all__ = ["Mesh", "sphere_mesh", "divisions_for", "signed_volumes", "captured_fd1"]
