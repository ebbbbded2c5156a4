"""zandrel: magnetostatics of tetrahedral meshes and point clouds.

SI units throughout the package: lengths in m, magnetisation and field
strength H in A/m, flux density B and polarisation in T, forces in N.

- :class:`Mesh`: tetrahedral meshes with named regions (checked, orientation
  repaired); :func:`sphere_mesh` meshes a ball.
- Materials: :class:`LinearMaterial` (scalar or tensor susceptibility),
  :class:`PermanentMagnet` (remanence and recoil), :class:`NonlinearMaterial`
  (B–H curve).
- :func:`solve` magnetises a meshed body in an applied field (GMRES, Newton)
  and returns a :class:`Solution` (M, H, B per element, fields anywhere).
- ``python -m zandrel`` runs the demonstration.

The low-level extension module ``_zandrel`` holds the fourteen native
functions the package is built on.
"""
from zandrel.applied import FunctionField, SourceSum, UniformField
from zandrel.capture import captured_fd1
from zandrel.constants import MU0
from zandrel.materials import LinearMaterial, Material, NonlinearMaterial, PermanentMagnet
from zandrel.mesh import Mesh, signed_volumes
from zandrel.meshers import divisions_for, sphere_mesh
from zandrel.solution import Solution
from zandrel.solve import ConvergenceError, ConvergenceWarning, solve

__all__ = ["Mesh", "sphere_mesh", "divisions_for", "signed_volumes", "captured_fd1",
           "MU0", "Material", "LinearMaterial", "PermanentMagnet", "NonlinearMaterial",
           "UniformField", "FunctionField", "SourceSum",
           "solve", "Solution", "ConvergenceWarning", "ConvergenceError"]
