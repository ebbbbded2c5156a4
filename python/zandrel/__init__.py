"""zandrel: magnetostatics of tetrahedral meshes and point clouds.

SI units throughout the package: lengths in m, magnetisation and field
strength H in A/m, current density in A/m², flux density B and polarisation
in T, forces in N, torques in N·m.

- :class:`Mesh`: tetrahedral meshes with named regions (checked, orientation
  repaired), read and written through meshio (:meth:`Mesh.read`,
  :meth:`Mesh.write`) or taken from the gmsh Python API
  (:meth:`Mesh.from_gmsh`); :func:`box_mesh`, :func:`cylinder_mesh` and
  :func:`sphere_mesh` mesh simple solids.
- Materials: :class:`LinearMaterial` (scalar or tensor susceptibility),
  :class:`PermanentMagnet` (remanence and recoil), :class:`NonlinearMaterial`
  (B–H curve).
- :func:`solve` magnetises meshed bodies (one mesh with regions, or several
  meshes) in an applied field (GMRES, Newton) and returns a
  :class:`Solution`: M, H, B per element, H and B anywhere (by the field
  operator or exactly), force and torque on any body by the Maxwell stress
  or the Kelvin force (:meth:`Solution.force`), files for ParaView
  (:meth:`Solution.write`). :func:`soft_steel` is a typical B–H curve.
- Applied fields: a constant, a function, a :class:`Solution`, or the
  sources :class:`CurrentSource` (conductors meshed with tetrahedra) and
  :class:`DipoleSource` (point dipoles); ``a + b`` superposes sources.
- :mod:`zandrel.plot`: field slices, lines and residual histories with
  matplotlib (``pip install zandrel[plot]``).
- :class:`FieldOperator`: the reusable linear map from per-element
  magnetisations (A/m) to H (A/m) of one mesh, built once and applied many
  times (the default operator of :func:`solve`).
- Fields: :func:`h_mag_tet4`, :func:`h_mag_point`, :func:`h_current_tet4`,
  :func:`h_current_point` (H in A/m) and their ``b_`` twins (B in T), exact
  or by an octree, at targets of any shape; :func:`magnetization_tet4`, the
  relaxed solver for a linear body.
- Forces: :func:`maxwell_surface_forces`, :func:`maxwell_force`,
  :func:`kelvin_force_density`, :func:`kelvin_force`, :func:`total_force`.
- :mod:`zandrel.grid`: lines, planes and boxes of target points, written
  for ParaView (``.vti``, ``.vtu``).
- ``python -m zandrel`` runs the demonstration.

The low-level extension module ``_zandrel`` holds the fourteen native
functions the package is built on.
"""
from zandrel import grid, plot
from zandrel.applied import FunctionField, Source, SourceSum, UniformField
from zandrel.capture import captured_fd1
from zandrel.catalogue import soft_steel
from zandrel.constants import MU0
from zandrel.fields import (b_current_point, b_current_tet4, b_mag_point, b_mag_tet4, h_current_point,
                            h_current_tet4, h_mag_point, h_mag_tet4)
from zandrel.forces import kelvin_force, kelvin_force_density, maxwell_force, maxwell_surface_forces, total_force
from zandrel.grid import Grid
from zandrel.materials import LinearMaterial, Material, NonlinearMaterial, PermanentMagnet
from zandrel.mesh import Mesh, signed_volumes
from zandrel.meshers import box_mesh, cylinder_mesh, divisions_for, sphere_mesh
from zandrel.operator import FieldOperator
from zandrel.relaxation import magnetization_tet4
from zandrel.solution import Solution
from zandrel.solve import ConvergenceError, ConvergenceWarning, solve
from zandrel.sources import CurrentSource, DipoleSource

__all__ = ["Mesh", "box_mesh", "cylinder_mesh", "sphere_mesh", "divisions_for", "signed_volumes",
           "MU0", "Material", "LinearMaterial", "PermanentMagnet", "NonlinearMaterial", "soft_steel",
           "Source", "UniformField", "FunctionField", "SourceSum", "CurrentSource", "DipoleSource",
           "solve", "Solution", "ConvergenceWarning", "ConvergenceError", "FieldOperator", "plot",
           "h_mag_tet4", "b_mag_tet4", "h_mag_point", "b_mag_point",
           "h_current_tet4", "b_current_tet4", "h_current_point", "b_current_point",
           "magnetization_tet4", "maxwell_surface_forces", "maxwell_force", "kelvin_force_density",
           "kelvin_force", "total_force", "grid", "Grid", "captured_fd1"]
