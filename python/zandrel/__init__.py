"""zandrel: magnetostatics of tetrahedral meshes and point clouds.

SI units throughout the package: lengths in m, magnetisation and field
strength H in A/m, flux density B and polarisation in T, forces in N.

- :class:`Mesh`: tetrahedral meshes with named regions (checked, orientation
  repaired); :func:`box_mesh`, :func:`cylinder_mesh` and :func:`sphere_mesh`
  mesh simple solids.
- ``python -m zandrel`` runs the demonstration.

The low-level extension module ``_zandrel`` holds the fourteen native
functions the package is built on.
"""
from zandrel.capture import captured_fd1
from zandrel.mesh import Mesh, signed_volumes
from zandrel.meshers import box_mesh, cylinder_mesh, divisions_for, sphere_mesh

__all__ = ["Mesh", "box_mesh", "cylinder_mesh", "sphere_mesh", "divisions_for", "signed_volumes", "captured_fd1"]
