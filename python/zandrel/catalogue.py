"""Typical materials for models: representative curves to start from, not
the data sheets of particular grades (use your material's measured curve
where it matters)."""
import numpy as np

from zandrel.constants import MU0
from zandrel.materials import NonlinearMaterial

__all__ = ["soft_steel"]

# Magnetisation curve of a typical annealed low-carbon steel: field strength
# H in A/m and polarisation J = B - μ0·H in T. Initial relative permeability
# about 1600, largest (about 2800) near 0.6 T, 1.5 T at 2 kA/m, saturation
# polarisation about 2.03 T.
_STEEL_H = (0.0, 50.0, 100.0, 200.0, 300.0, 500.0, 800.0, 1200.0, 2000.0, 3500.0, 6000.0, 1e4, 2e4, 4e4, 8e4, 1.6e5)
_STEEL_J = (0.0, 0.10, 0.25, 0.60, 0.85, 1.10, 1.27, 1.38, 1.49, 1.59, 1.68, 1.76, 1.86, 1.95, 2.01, 2.03)


def soft_steel():
    """A typical soft magnetic steel (annealed low-carbon) as a
    :class:`zandrel.NonlinearMaterial`.

    Its B–H curve: initial relative permeability about 1600, largest about
    2800 near 0.6 T, B = 1.38 T at 1.2 kA/m, 1.49 T at 2 kA/m, 1.76 T at
    10 kA/m, 2.0 T at 40 kA/m; saturation polarisation 2.03 T, beyond which
    B rises with μ0. A representative curve for models, not the data sheet
    of a particular grade: use your material's measured curve where it
    matters.

    Returns
    -------
    NonlinearMaterial
    """
    h = np.array(_STEEL_H)
    return NonlinearMaterial(H=h, B=MU0 * h + np.array(_STEEL_J))
