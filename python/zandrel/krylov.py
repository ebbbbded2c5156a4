"""Restarted GMRES (SciPy's) under a budget of operator applications.

SciPy's ``gmres`` counts restart cycles, not products, and computes the true
residual b - K x after each cycle with one more product that it does not
return. Here every cycle is one ``gmres`` call on the current residual; the
system remembers its last product, which is exactly K of that cycle's
correction, so the true residual (and the field of the correction, which the
Newton solver needs for its line search) comes at no extra cost.
"""
import numpy as np
from scipy.sparse.linalg import LinearOperator, gmres

__all__ = ["CountingOperator", "restarted_gmres"]


class CountingOperator:
    """A field operator that counts its applications and refuses non-finite
    results (a NaN must end a solve, never reach its result)."""

    def __init__(self, operator):
        self.operator = operator
        self.count = 0

    def apply(self, m):
        """H (E, 3) at the centroids from the magnetisations ``m`` (E, 3)."""
        h = np.asarray(self.operator.apply(np.ascontiguousarray(m)), dtype=np.float64)
        self.count += 1
        if h.shape != m.shape:
            raise ValueError(f"the field operator returned shape {h.shape} for magnetisations of shape {m.shape}")
        if not np.isfinite(h).all():
            raise FloatingPointError("the field operator returned non-finite values; the magnetisation it was "
                                     "applied to is " + ("finite" if np.isfinite(m).all() else "not finite"))
        return h


def restarted_gmres(system, rhs, atol, budget, restart, on_iteration):
    """Solve ``system.matvec(d) = rhs`` from d = 0 until the residual norm is
    at most ``atol`` or ``budget`` products have been spent.

    ``system.matvec(v)`` returns K v and keeps ``system.last = (v, extra,
    Kv)``; ``extra`` (any array linear in v, such as the field of v) is summed
    over the cycles like the solution. ``on_iteration(norm)`` receives
    GMRES's estimate of the residual norm after every iteration.

    Returns (d, extra of d, true residual norm, products spent).
    """
    n = rhs.size
    operator = LinearOperator((n, n), matvec=system.matvec, dtype=np.float64)
    solution = np.zeros(n)
    extra = None
    residual = rhs.copy()
    norm = float(np.linalg.norm(residual))
    spent = 0
    # Each cycle needs at least one Krylov product and the residual product.
    while norm > atol and budget - spent >= 2:
        cycle_norm = norm
        before = system.calls
        correction, _ = gmres(operator, residual, restart=min(restart, budget - spent - 1), maxiter=1, rtol=0.0,
                              atol=atol, callback=lambda estimate: on_iteration(estimate * cycle_norm),
                              callback_type="pr_norm")
        if system.last is None or not np.array_equal(system.last[0], correction):
            system.matvec(correction)  # GMRES stopped before its residual product
        spent += system.calls - before
        _, correction_extra, product = system.last
        if not np.isfinite(correction).all():
            raise FloatingPointError("GMRES produced a non-finite correction")
        solution += correction
        extra = correction_extra.copy() if extra is None else extra + correction_extra
        residual -= product
        norm = float(np.linalg.norm(residual))
    return solution, extra, norm, spent
