"""Magnetostatics of tetrahedral meshes on top of the ``_zandrel`` extension.

``zandrel.mesh`` builds tetrahedral meshes of a ball, ``zandrel.capture``
catches the solver's progress lines; ``python -m zandrel`` runs the
demonstration: the magnetisation of a linear magnetic sphere in a uniform
field, against the analytic solution.
"""
from zandrel.capture import captured_fd1
from zandrel.mesh import divisions_for, signed_volumes, sphere_mesh

__all__ = ["sphere_mesh", "divisions_for", "signed_volumes", "captured_fd1"]
