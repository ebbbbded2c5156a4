"""Magnetic materials: the law M(H) that ties an element's magnetisation to
the field in it.

SI units: H and M in A/m, B and polarisation in T. Every material evaluates
its law for many elements at once, both ways: M(H), and H(B) with its
differential relative reluctivity μ0·dH/dB (a 3x3 tensor per element), the
form the solver linearises (it lies between 0 and 1 for every material, so
saturated and unsaturated iron and magnets are equally well scaled).

- :class:`LinearMaterial`: M = χ·H, χ a scalar or a symmetric tensor.
- :class:`PermanentMagnet`: M = Mr + χr·H, remanence plus recoil.
- :class:`NonlinearMaterial`: an isotropic soft material given by its B–H
  curve.
"""
import numpy as np
from scipy.interpolate import CubicHermiteSpline, PchipInterpolator

from zandrel._convert import as_points, as_vector
from zandrel.constants import MU0

__all__ = ["Material", "LinearMaterial", "PermanentMagnet", "NonlinearMaterial"]


def _axes_matrix(axes):
    """(3, 3) matrix whose rows are the given orthonormal axes."""
    matrix = np.asarray(axes, dtype=np.float64)
    if matrix.shape != (3, 3) or not np.isfinite(matrix).all():
        raise ValueError(f"axes must be three orthonormal 3-vectors, one per row (shape (3, 3)), got {matrix.shape}")
    if not np.allclose(matrix @ matrix.T, np.eye(3), atol=1e-9):
        raise ValueError("axes must be orthonormal (unit length, mutually perpendicular); "
                         "normalise them or use scipy.spatial.transform.Rotation(...).as_matrix()")
    return matrix


def susceptibility_tensor(value, name, axes=None):
    """A symmetric (3, 3) susceptibility tensor from a scalar, from three
    principal values along ``axes`` (rows; default x, y, z), or from a 3x3
    matrix. Every principal value must exceed -1 (B would otherwise oppose H)."""
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, three principal values or a 3x3 tensor, got {value!r}") from None
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite, got {array.tolist()}")
    if array.ndim == 0:
        if axes is not None:
            raise ValueError(f"axes only apply to three principal values of {name}, not to a scalar")
        tensor = float(array) * np.eye(3)
    elif array.shape == (3,):
        frame = np.eye(3) if axes is None else _axes_matrix(axes)
        tensor = frame.T @ np.diag(array) @ frame
    elif array.shape == (3, 3):
        if axes is not None:
            raise ValueError(f"axes only apply to three principal values of {name}; a 3x3 tensor carries its own")
        if not np.allclose(array, array.T, rtol=1e-10, atol=1e-12 * np.abs(array).max()):
            raise ValueError(f"{name} must be a symmetric tensor (a susceptibility tensor is symmetric), "
                             f"got {array.tolist()}")
        tensor = 0.5 * (array + array.T)
    else:
        raise ValueError(f"{name} must be a scalar, three principal values (3,) or a 3x3 tensor, got shape "
                         f"{array.shape}")
    lowest = np.linalg.eigvalsh(tensor).min()
    if not lowest > -1.0:
        raise ValueError(f"{name} must exceed -1 in every direction (relative permeability 1 + chi > 0), "
                         f"its smallest principal value is {lowest:g}")
    tensor.flags.writeable = False
    return tensor


class Material:
    """Base of the materials. A material maps the field H in an element to its
    magnetisation M (both (P, 3) in A/m), and the flux density B = μ0(H + M)
    (P, 3) in T back to H."""

    #: True when M depends affinely on H (one linear solve suffices).
    linear = True

    def magnetization(self, H):
        """Magnetisation (P, 3) in A/m for the fields ``H`` (P, 3) in A/m."""
        raise NotImplementedError

    def field_strength(self, B):
        """Field strength H (P, 3) in A/m at which the material carries the
        flux density ``B`` (P, 3) in T."""
        raise NotImplementedError

    def differential_reluctivity(self, B):
        """μ0·dH/dB (P, 3, 3), dimensionless, at the flux densities ``B`` (P, 3) in T."""
        raise NotImplementedError


class _AffineMaterial(Material):
    """M = χ·H + Mr with a constant tensor χ and remanence Mr, so
    H = (I + χ)^-1 (B/μ0 - Mr)."""

    def __init__(self, chi, remanence):
        self._chi = chi
        self._remanence = remanence
        self._remanence.flags.writeable = False
        self._reluctivity = np.linalg.inv(np.eye(3) + chi)
        self._reluctivity.flags.writeable = False

    def magnetization(self, H):
        H = as_points(H, "H")
        return H @ self._chi.T + self._remanence

    def field_strength(self, B):
        B = as_points(B, "B")
        return (B / MU0 - self._remanence) @ self._reluctivity.T

    def differential_reluctivity(self, B):
        return np.broadcast_to(self._reluctivity, (len(B), 3, 3))


class LinearMaterial(_AffineMaterial):
    """A linear soft material, M = χ·H.

    Parameters
    ----------
    chi : float, (3,) or (3, 3) array_like
        Susceptibility (dimensionless, relative permeability 1 + χ): a
        scalar (isotropic), three principal values along ``axes``, or a
        symmetric 3x3 tensor. Every principal value must exceed -1.
    axes : (3, 3) array_like, optional
        Orthonormal principal axes, one per row, for three principal values
        (default: x, y, z).

    Examples
    --------
    >>> iron = LinearMaterial(chi=1000.0)
    >>> laminated = LinearMaterial(chi=(1000.0, 1000.0, 50.0))   # weak along z
    """

    def __init__(self, chi, *, axes=None):
        super().__init__(susceptibility_tensor(chi, "chi", axes), np.zeros(3))

    @property
    def chi(self):
        """(3, 3) susceptibility tensor."""
        return self._chi

    def __repr__(self):
        chi = self._chi
        if np.array_equal(chi, chi[0, 0] * np.eye(3)):
            return f"LinearMaterial(chi={chi[0, 0]:g})"
        return f"LinearMaterial(chi={chi.tolist()})"


class PermanentMagnet(_AffineMaterial):
    """A permanent magnet on its recoil line, M = Mr + χr·H.

    Parameters
    ----------
    polarization : (3,) array_like, optional
        Remanent polarisation μ0·Mr in T (for example (0, 0, 1.2)).
    magnetization : (3,) array_like, optional
        Remanent magnetisation Mr in A/m; give it or ``polarization``.
    recoil : float, (3,) or (3, 3) array_like, default 0.0
        Recoil susceptibility χr (relative recoil permeability 1 + χr;
        about 0.05 for sintered NdFeB): scalar, principal values along
        ``axes``, or a symmetric tensor. 0 is the ideal rigid magnet.
    axes : (3, 3) array_like, optional
        Principal axes of three recoil values, one per row.
    """

    def __init__(self, polarization=None, *, magnetization=None, recoil=0.0, axes=None):
        if (polarization is None) == (magnetization is None):
            raise TypeError("give exactly one of polarization (mu0*Mr in T) and magnetization (Mr in A/m)")
        if polarization is not None:
            remanence = as_vector(polarization, "polarization") / MU0
        else:
            remanence = as_vector(magnetization, "magnetization").copy()
        super().__init__(susceptibility_tensor(recoil, "recoil", axes), remanence)

    @property
    def remanence(self):
        """(3,) remanent magnetisation Mr in A/m."""
        return self._remanence

    @property
    def polarization(self):
        """(3,) remanent polarisation μ0·Mr in T."""
        return self._remanence * MU0

    @property
    def recoil(self):
        """(3, 3) recoil susceptibility tensor."""
        return self._chi

    def __repr__(self):
        return f"PermanentMagnet(polarization={np.round(self.polarization, 12).tolist()}, recoil={self._chi.tolist()})"


class NonlinearMaterial(Material):
    """An isotropic soft magnetic material given by its B–H curve.

    Parameters
    ----------
    H : (K,) array_like
        Field strengths in A/m, strictly increasing, starting at 0.
    B : (K,) array_like
        Flux densities in T at those fields, starting at 0 and rising at
        least as fast as μ0·H (the magnetisation M = B/μ0 - H never
        decreases). At least three points.

    Notes
    -----
    The magnetisation magnitude m(h) = B(h)/μ0 - h is interpolated by a
    monotone piecewise cubic (PCHIP), so M never decreases between the
    table's points and its differential susceptibility is continuous. The
    curve's end slope is set to zero: beyond the table M stays at its last
    value, B rises with the slope μ0 of saturated material, and the
    susceptibility stays continuous there. In a field H the material is
    magnetised along H, M = m(|H|)·H/|H| (no hysteresis, no anisotropy).
    The inverse law H(B) is evaluated by safeguarded Newton iteration on the
    monotone cubic of the segment that holds |B|.
    """

    linear = False

    def __init__(self, H, B):
        h, b = self._checked_curve(H, B)
        m = np.maximum.accumulate(b / MU0 - h)  # rounding-level dips flattened
        slopes = PchipInterpolator(h, m).derivative()(h)
        slopes[-1] = 0.0  # joins the saturation line B = Bmax + mu0 (H - Hmax) smoothly
        self._curve = CubicHermiteSpline(h, m, slopes, extrapolate=False)
        self._slope = self._curve.derivative()
        self._h, self._b = h, b
        self._h.flags.writeable = self._b.flags.writeable = False
        self._h_end, self._m_end = h[-1], m[-1]
        self._chi_initial = float(slopes[0])

    @staticmethod
    def _checked_curve(H, B):
        arrays = []
        for name, value in (("H", H), ("B", B)):
            try:
                array = np.array(value, dtype=np.float64)
            except (TypeError, ValueError):
                raise TypeError(f"{name} must be a 1-D array of numbers") from None
            if array.ndim != 1:
                raise ValueError(f"{name} must be a 1-D array, got shape {array.shape}")
            if not np.isfinite(array).all():
                raise ValueError(f"{name} must be finite")
            arrays.append(array)
        h, b = arrays
        if len(h) != len(b):
            raise ValueError(f"H and B must have the same length, got {len(h)} and {len(b)}")
        if len(h) < 3:
            raise ValueError(f"a B-H curve needs at least 3 points (the origin and two more), got {len(h)}")
        if h[0] != 0.0 or b[0] != 0.0:
            raise ValueError(f"the B-H curve must start at the origin (H = 0 A/m, B = 0 T), it starts at "
                             f"({h[0]:g}, {b[0]:g}); prepend the point (0, 0)")
        for name, array, unit in (("H", h, "A/m"), ("B", b, "T")):
            step = np.flatnonzero(np.diff(array) <= 0.0)
            if len(step):
                i = int(step[0])
                raise ValueError(f"the B-H curve is not monotone: {name} must increase strictly, but "
                                 f"{name}[{i}] = {array[i]:g} {unit} and {name}[{i + 1}] = {array[i + 1]:g} {unit}")
        m = b / MU0 - h
        falling = np.flatnonzero(np.diff(m) < -1e-9 * np.abs(m).max())
        if len(falling):
            i = int(falling[0])
            raise ValueError(f"between H = {h[i]:g} and {h[i + 1]:g} A/m, B rises more slowly than mu0*H "
                             f"(slope {(b[i + 1] - b[i]) / (h[i + 1] - h[i]):.4g} T m/A < mu0 = {MU0:.6g}): "
                             "the magnetisation B/mu0 - H would decrease there; check the units (H in A/m, "
                             "B in T) or remove the point")
        return h, b

    @property
    def H(self):
        """(K,) field strengths of the table in A/m."""
        return self._h

    @property
    def B(self):
        """(K,) flux densities of the table in T."""
        return self._b

    @property
    def chi_initial(self):
        """Initial susceptibility m'(0)."""
        return self._chi_initial

    @property
    def saturation_magnetization(self):
        """Magnetisation in A/m at and beyond the table's last field."""
        return float(self._m_end)

    def magnetization_curve(self, h):
        """Magnetisation magnitude m(h) in A/m for field strengths ``h`` >= 0 in A/m (any shape)."""
        h = np.asarray(h, dtype=np.float64)
        return np.where(h >= self._h_end, self._m_end, self._curve(np.clip(h, 0.0, self._h_end)))

    def _slope_curve(self, h):
        return np.where(h >= self._h_end, 0.0, self._slope(np.clip(h, 0.0, self._h_end)))

    def field_strength_curve(self, b):
        """Field strength h(b) in A/m for flux density magnitudes ``b`` >= 0 in T (1-D): the inverse of
        b = μ0 (h + m(h))."""
        b = np.asarray(b, dtype=np.float64)
        knots = MU0 * (self._h + self._curve(self._h))
        h = self._h_end + (b - knots[-1]) / MU0  # beyond the table: saturated, slope mu0
        inside = b < knots[-1]
        if inside.any():
            target = b[inside]
            k = np.clip(np.searchsorted(knots, target, side="right") - 1, 0, len(knots) - 2)
            low, high = self._h[k].copy(), self._h[k + 1].copy()
            x = low + (target - knots[k]) / (knots[k + 1] - knots[k]) * (high - low)
            # Newton on the segment's monotone cubic, kept inside a shrinking bracket.
            for _ in range(60):
                f = MU0 * (x + self._curve(x)) - target
                low, high = np.where(f < 0.0, x, low), np.where(f > 0.0, x, high)
                step = x - f / (MU0 * (1.0 + self._slope(x)))
                step = np.where((step <= low) | (step >= high), 0.5 * (low + high), step)
                done = np.abs(step - x) <= 1e-15 * self._h_end
                x = step
                if done.all():
                    break
            h[inside] = x
        return h

    def magnetization(self, H):
        H = as_points(H, "H")
        h = np.linalg.norm(H, axis=1)
        scale = np.divide(self.magnetization_curve(h), h, out=np.zeros_like(h), where=h > 0.0)
        return H * scale[:, None]

    def field_strength(self, B):
        B = as_points(B, "B")
        b = np.linalg.norm(B, axis=1)
        scale = np.divide(self.field_strength_curve(b), b, out=np.zeros_like(b), where=b > 0.0)
        return B * scale[:, None]

    def differential_reluctivity(self, B):
        B = as_points(B, "B")
        b = np.linalg.norm(B, axis=1)
        h = self.field_strength_curve(b)
        positive = b > 0.0
        # Along B the field grows with the curve's inverse slope, across it H
        # turns with B (secant h/b); both tend to 1/(1 + m'(0)) at b = 0.
        along = 1.0 / (1.0 + self._slope_curve(h))
        across = np.divide(MU0 * h, b, out=np.full_like(b, 1.0 / (1.0 + self._chi_initial)), where=positive)
        u = np.divide(B, b[:, None], out=np.zeros_like(B), where=positive[:, None])
        return across[:, None, None] * np.eye(3) + (along - across)[:, None, None] * u[:, :, None] * u[:, None, :]

    def __repr__(self):
        return (f"NonlinearMaterial({len(self._h)} points up to H = {self._h_end:g} A/m, "
                f"B = {self._b[-1]:g} T)")
