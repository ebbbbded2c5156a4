"""Physical constants of the package, in SI units."""

__all__ = ["MU0"]

#: Vacuum permeability μ0 in T·m/A (N/A²), the CODATA 2018 value.
MU0 = 1.25663706212e-6
