"""Physical constants of the package (SI)."""

__all__ = ["MU0"]

#: Vacuum permeability in N/A² (= T·m/A), the CODATA 2018 value. Since the
#: 2019 redefinition of the SI it is a measured quantity, 4π·1e-7·(1 + 5.5e-10).
#: The package converts H to B with it. The native Maxwell-stress function
#: ``_zandrel.mesh_surface_forces`` divides by the exact 4π·1e-7 of the old SI;
#: the two differ by 5.5e-10 relative, far below any discretisation error.
MU0 = 1.25663706212e-6
