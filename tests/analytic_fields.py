"""Closed-form fields of simple magnetised bodies, computed independently of
the library (NumPy's own log and arctan), as truth for the tests."""
import numpy as np


def rectangle_integral(u1, u2, v1, v2, w):
    """int int (-u, -v, w)/rho^3 du dv over [u1, u2] x [v1, v2], rho^2 = u^2 + v^2 + w^2:
    the field of a unit-density rectangle, from its double antiderivatives
    ln(v + rho), ln(u + rho) and arctan(u v / (w rho))."""
    total = np.zeros(np.shape(w) + (3,))
    for u, su in ((u1, -1), (u2, 1)):
        for v, sv in ((v1, -1), (v2, 1)):
            rho = np.sqrt(u * u + v * v + w * w)
            total[..., 0] += su * sv * np.log(v + rho)
            total[..., 1] += su * sv * np.log(u + rho)
            total[..., 2] += su * sv * np.arctan(u * v / (w * rho))
    return total


def cuboid_field(centre, half, m, targets):
    """Exact H of the uniformly magnetised cuboid |x_k - centre_k| <= half_k
    (six charged rectangles, sigma = M.n)."""
    t = targets - centre
    h = np.zeros_like(t)
    for k in range(3):
        i, j = [a for a in range(3) if a != k]
        for side in (-1, 1):
            e = rectangle_integral(-half[i] - t[:, i], half[i] - t[:, i], -half[j] - t[:, j], half[j] - t[:, j],
                                   t[:, k] - side * half[k])
            sigma = side * m[k] / (4 * np.pi)
            h[:, i] += sigma * e[:, 0]
            h[:, j] += sigma * e[:, 1]
            h[:, k] += sigma * e[:, 2]
    return h
