"""The magnetostatic solve: magnetisations that agree with their materials
in the field they produce together with the applied field.

Unknowns are the element magnetisations M (E, 3). The field at the element
centroids is H = H_applied + A·M, A the linear field operator of the mesh,
and the flux density B = μ0 (H + M). The equations are the material laws in
reluctivity form, R(M) = G(B) - H = 0 with G the material's H(B): its
derivative ν = μ0·dG/dB lies between 0 and 1 for every material (soft iron
below and above saturation, magnets), where the susceptibility dM/dH spans
0 to 10^4; Newton's method converges far more reliably on it. Linear
materials take one step, solved by GMRES; nonlinear ones take inexact
Newton steps (GMRES to an adaptive tolerance) with a Levenberg-Marquardt
term and a line search that needs no operator application (H is linear in
M).

Preconditioner: each element's law against its own field. With the
element's self-interaction tensor S the block is ν (I + S) - S. For
tetrahedra S varies strongly with the element's shape, and that exact block
triples the GMRES iterations: scaling neighbouring elements differently
excites the divergence-free magnetisations that produce no field, which
GMRES then has to resolve. The isotropic part of S, trace(S)/3, is -1/3 for
every element (the solid angles at an interior point add up to 4π): the
self-interaction of a sphere. The default uses it with a scalar per element,
(1 + 2 ν_min)/3 for the softest direction, which balances iron against
magnets and saturated against unsaturated elements without that harm.

Collocation at the centroids leaves those divergence-free modes only weakly
determined in soft iron: element magnetisations scatter around their local
mean by up to the mean itself at χ = 1000 (means, fields and forces
converge; single elements do not), and Newton steps for saturating iron
spend most of their work there; the damping term keeps them short.
"""
import logging
import warnings

import numpy as np

from zandrel._convert import as_count, as_positive, as_threads, as_vectors
from zandrel.applied import as_source, evaluate
from zandrel.constants import MU0
from zandrel.krylov import CountingOperator, restarted_gmres
from zandrel.material_map import MaterialMap
from zandrel.mesh import Mesh
from zandrel.solution import Solution

__all__ = ["solve", "ConvergenceWarning", "ConvergenceError"]

log = logging.getLogger("zandrel")

_PRECONDITIONERS = ("scalar", "tensor", "self", "none")
# Eisenstat-Walker forcing (choice 2): the inner GMRES of a Newton step is
# solved only as far as the outer residual's progress justifies.
_FORCING_START, _FORCING_MAX, _FORCING_GAMMA = 0.3, 0.5, 0.9
# Levenberg-Marquardt term (in the preconditioned system): raised while the
# line search has to cut steps, dropped once full steps are taken again.
_DAMPING_START, _DAMPING_MIN = 1e-2, 1e-4
_ARMIJO = 1e-4
_LINE_SEARCH_TRIALS = 30


class ConvergenceWarning(UserWarning):
    """A solve stopped before reaching its tolerance (``on_failure="warn"``)."""


class ConvergenceError(RuntimeError):
    """A solve that did not converge (``on_failure="raise"``) or produced
    non-finite values. ``solution`` holds the last iterate when it is finite."""

    def __init__(self, message, solution=None):
        super().__init__(message)
        self.solution = solution


def _blocks(tensors, vectors):
    """Per element 3x3 times 3-vector: (E, 3, 3) x (E, 3) -> (E, 3)."""
    return np.matmul(tensors, vectors[:, :, None])[:, :, 0]


class _Problem:
    def __init__(self, materials, h_applied, field, preconditioner, self_tensors=None):
        self.materials, self.h_applied, self.field = materials, h_applied, field
        self.preconditioner, self.self_tensors = preconditioner, self_tensors

    def scaling(self, nu):
        """P^-1 (E, 3, 3) for the differential reluctivities ``nu``."""
        if self.preconditioner == "scalar":
            softest = np.linalg.eigvalsh(0.5 * (nu + np.swapaxes(nu, 1, 2)))[:, 0]
            return (3.0 / (1.0 + 2.0 * softest))[:, None, None] * np.eye(3)
        if self.preconditioner == "tensor":
            return np.linalg.inv((np.eye(3) + 2.0 * nu) / 3.0)
        if self.preconditioner == "self":
            return np.linalg.inv(nu + np.matmul(nu, self.self_tensors) - self.self_tensors)
        return np.broadcast_to(np.eye(3), nu.shape)


class _State:
    """An iterate: M, its field A·M at the centroids, H, B and the residual G(B) - H."""

    def __init__(self, problem, M, AM):
        self.M, self.AM = M, AM
        self.H = problem.h_applied + AM
        self.B = MU0 * (self.H + M)
        self.R = problem.materials.field_strength(self.B) - self.H
        self.norm = float(np.linalg.norm(self.R))


class _NewtonSystem:
    """The preconditioned Newton system d -> P^-1 (ν (d + A d) - A d) + μ d.

    Keeps its last product as (d, A·d, result) for the restarted GMRES."""

    def __init__(self, field, reluctivity, scaling, damping):
        self.field, self.reluctivity, self.scaling, self.damping = field, reluctivity, scaling, damping
        self.last, self.calls = None, 0

    def jacobian(self, m, h):
        """R'(M)·m for the magnetisation step m with field h = A·m."""
        return _blocks(self.reluctivity, m + h) - h

    def matvec(self, vector):
        m = vector.reshape(-1, 3)
        h = self.field.apply(m)
        out = _blocks(self.scaling, self.jacobian(m, h)).ravel() + self.damping * vector
        self.calls += 1
        self.last = (vector.copy(), h, out)
        return out


def _line_search(problem, state, system, step, field_of_step):
    """The iterate M + λ·step that decreases |P^-1 R| enough (Armijo,
    quadratic backtracking), P the step's preconditioner: the inexact Newton
    step is a descent direction for that norm. (None, λ) when none is found."""
    scaled = _blocks(system.scaling, state.R)
    change = _blocks(system.scaling, system.jacobian(step, field_of_step))
    slope = min(float(np.sum(scaled * change)), 0.0)  # d/dλ of ½|P⁻¹R|² at λ = 0
    merit = 0.5 * float(np.sum(scaled * scaled))
    lam = 1.0
    for _ in range(_LINE_SEARCH_TRIALS):
        trial = _State(problem, state.M + lam * step, state.AM + lam * field_of_step)
        residual = _blocks(system.scaling, trial.R)
        value = 0.5 * float(np.sum(residual * residual))
        if np.isfinite(value) and value <= merit + _ARMIJO * lam * slope and value < merit:
            return trial, lam
        if np.isfinite(value) and slope < 0.0:
            guess = -slope * lam ** 2 / (2.0 * (value - merit - slope * lam))
            lam = min(max(guess, 0.1 * lam), 0.5 * lam)
        else:
            lam *= 0.5
    return None, lam


def _newton(problem, state, reference, *, tol, maxiter, restart, callback):
    """Newton iteration from ``state``; returns (state, history, steps, reason)."""
    linear = problem.materials.linear
    history = [state.norm / reference]
    steps, forcing, previous, reason = 0, _FORCING_START, None, None
    damping = 0.0 if linear else _DAMPING_START
    while history[-1] > tol:
        budget = maxiter - problem.field.count
        if budget < 2:
            reason = f"the iteration limit of {maxiter} operator applications was reached"
            break
        relative = history[-1]
        nu = problem.materials.differential_reluctivity(state.B)
        system = _NewtonSystem(problem.field, nu, problem.scaling(nu), damping)
        rhs = -_blocks(system.scaling, state.R).ravel()
        rhs_norm = float(np.linalg.norm(rhs))
        # The residual must fall by tol/relative to reach tol: exactly so in
        # the linear step when the scaling is uniform (one material).
        needed = tol / relative
        if not linear and previous is not None:
            candidate = _FORCING_GAMMA * (relative / previous) ** 2
            if _FORCING_GAMMA * forcing ** 2 > 0.1:
                candidate = max(candidate, _FORCING_GAMMA * forcing ** 2)
            forcing = min(candidate, _FORCING_MAX)
        eta = needed if linear else max(forcing, 0.5 * needed)

        def report(norm):
            if linear:  # GMRES's estimate, in the scaled norm
                history.append(relative * norm / rhs_norm)
                if callback is not None:
                    callback(len(history) - 1, history[-1])
                log.debug("zandrel.solve: GMRES iteration %d, relative residual %.3e", len(history) - 1,
                          history[-1])

        step, field_of_step, inner, _ = restarted_gmres(system, rhs, eta * rhs_norm, budget, restart, report)
        if field_of_step is None:
            reason = "no Newton step could be taken"
            break
        step = step.reshape(-1, 3)
        steps += 1
        if linear:
            new, lam = _State(problem, state.M + step, state.AM + field_of_step), 1.0
            history[-1] = new.norm / reference  # the computed residual replaces GMRES's estimate
        else:
            new, lam = _line_search(problem, state, system, step, field_of_step)
            if new is None:
                reason = (f"the line search of Newton step {steps} could not reduce the residual "
                          f"(relative residual {relative:.3e})")
                break
            damping = max(4.0 * damping, _DAMPING_MIN) if lam < 0.5 else damping / 4.0
            if damping < _DAMPING_MIN and lam == 1.0:
                damping = 0.0
            history.append(new.norm / reference)
            log.info("zandrel.solve: Newton step %d: relative residual %.3e (step length %.3g, inner %.1e, "
                     "%d operator applications)", steps, history[-1], lam, inner / max(rhs_norm, 1e-300),
                     problem.field.count)
            if callback is not None:
                callback(steps, history[-1])
        previous, state = relative, new
    return state, history, steps, reason


def solve(mesh, materials, applied=None, *, operator=None, accuracy=1e-3, threads=0, tol=1e-6, maxiter=500,
          x0=None, restart=60, preconditioner="scalar", callback=None, on_failure="warn"):
    """Magnetise a meshed body of given materials in an applied field.

    Every element carries one uniform magnetisation; the field at its
    centroid is the applied field plus the field of all elements. The solve
    finds the magnetisations that agree with each element's material law in
    that field. SI units throughout.

    Parameters
    ----------
    mesh : zandrel.Mesh or list of zandrel.Mesh
        The bodies, lengths in m: one mesh (its regions name the bodies), or
        a list of meshes, merged into one with their region names
        (``solve([magnet, plate], {"magnet": ..., "plate": ...})``; name
        each mesh's elements with ``region=`` when meshing it). Every body
        magnetises every other: the solve couples them all.
    materials : Material, dict or sequence
        A single material (for the whole mesh), a dict ``{region name:
        material}`` covering every element through the mesh's regions, or
        one material per element: :class:`LinearMaterial`,
        :class:`PermanentMagnet`, :class:`NonlinearMaterial`.
    applied : optional
        The applied field H in A/m: a constant (3,); a function
        ``f(points (P, 3) m) -> (P, 3) A/m``; an object with a
        ``field(points)`` method (another :class:`Solution`, a source); or a
        list of these, superposed. Default: none (permanent magnets only).
    operator : optional
        A prebuilt field operator of this mesh (``apply``, ``field``,
        ``self_tensors``, ``n_elements``), reused across solves. Default:
        ``zandrel.FieldOperator(mesh, accuracy=accuracy, threads=threads)``.
    accuracy : float, default 1e-3
        Accuracy of the default operator (relative RMS error of its field).
    threads : int, default 0
        Threads of the default operator (0: all processors).
    tol : float, default 1e-6
        Relative residual to reach (see Notes).
    maxiter : int, default 500
        Most operator applications to spend.
    x0 : (E, 3) or (3,) array_like, optional
        Initial magnetisation in A/m (default 0; one application to start).
    restart : int, default 60
        GMRES restart length. GMRES keeps restart + 1 vectors, about
        24·(restart + 1) bytes per element.
    preconditioner : {"scalar", "tensor", "self", "none"}, default "scalar"
        Element blocks of the GMRES preconditioner (see the module notes):
        (1 + 2 ν_min)/3 per element, (I + 2ν)/3, ν (I + S) - S with the
        operator's exact self-interaction tensors S, or none. The default
        needs the fewest iterations in every case measured ("self" about
        three times as many).
    callback : callable, optional
        ``callback(iteration, residual)`` after every GMRES iteration (linear
        materials; GMRES's estimate) or Newton step (nonlinear); an exception
        it raises ends the solve.
    on_failure : {"warn", "raise"}, default "warn"
        When the tolerance is not reached: emit a
        :class:`ConvergenceWarning` and return the last iterate (with
        ``converged`` False), or raise :class:`ConvergenceError` (its
        ``solution`` attribute holds the iterate). Non-finite values always
        raise ConvergenceError; a result never contains NaN.

    Returns
    -------
    Solution
        M, H, B per element, the residual history, field evaluation.

    Notes
    -----
    The residual of element e is R_e = G_e(B_e) - H_e in A/m, G_e its
    material's H(B): the field the element's flux density calls for, minus
    the field it has. The relative residual is the norm of R over its norm at
    M = 0. For a linear material R = (I + χ)^-1 (M - χH - Mr), the violation
    of M = χH + Mr expressed as a field.

    Progress is logged to the "zandrel" logger: a summary at INFO level, a
    line per Newton step at INFO and per GMRES iteration at DEBUG
    (``logging.getLogger("zandrel").setLevel(logging.WARNING)`` silences it).

    Examples
    --------
    >>> mesh = zandrel.sphere_mesh(0.01, 8)
    >>> sol = zandrel.solve(mesh, zandrel.LinearMaterial(chi=1000.0), applied=(0.0, 0.0, 1e3), tol=1e-8)
    >>> sol.M.mean(axis=0)     # about (0, 0, 2991) A/m, 3·chi/(3 + chi)·H0
    """
    mesh = _model_mesh(mesh, materials)
    if mesh.n_elements == 0:
        raise ValueError("mesh has no elements")
    material_map = MaterialMap(mesh, materials)
    source = as_source(applied)
    tol = as_positive(tol, "tol")
    maxiter = as_count(maxiter, "maxiter", minimum=1)
    restart = as_count(restart, "restart", minimum=1)
    if preconditioner not in _PRECONDITIONERS:
        raise ValueError(f"preconditioner must be one of {_PRECONDITIONERS}, got {preconditioner!r}")
    if on_failure not in ("warn", "raise"):
        raise ValueError(f"on_failure must be 'warn' or 'raise', got {on_failure!r}")
    if callback is not None and not callable(callback):
        raise TypeError(f"callback must be callable as callback(iteration, residual), got {type(callback).__name__}")
    count = mesh.n_elements
    M0 = np.zeros((count, 3)) if x0 is None else as_vectors(x0, "x0", count).copy()
    h_applied = evaluate(source, mesh.centroids, "applied")
    if operator is None:
        operator = _default_operator(mesh, as_positive(accuracy, "accuracy"), as_threads(threads))
    elif getattr(operator, "n_elements", None) != count:
        raise ValueError(f"operator must belong to the mesh: it has {getattr(operator, 'n_elements', '?')} "
                         f"elements, the mesh {count}")
    field = CountingOperator(operator)
    self_tensors = np.asarray(operator.self_tensors(), dtype=np.float64) if preconditioner == "self" else None
    problem = _Problem(material_map, h_applied, field, preconditioner, self_tensors)

    log.info("zandrel.solve: %d elements, %s materials %s, tol %.1e", count,
             "linear" if material_map.linear else "nonlinear", list(material_map.labels), tol)
    zero = np.zeros((count, 3))
    unmagnetised = _State(problem, zero, zero)
    reference = unmagnetised.norm
    try:
        if reference == 0.0:
            # Nothing to magnetise the body (no applied field where it is
            # susceptible, no remanence): M = 0 is the solution.
            state, history, steps, reason = unmagnetised, [0.0], 0, None
        else:
            start = unmagnetised if not M0.any() else _State(problem, M0, field.apply(M0))
            state, history, steps, reason = _newton(problem, start, reference, tol=tol, maxiter=maxiter,
                                                    restart=restart, callback=callback)
    except FloatingPointError as exc:
        raise ConvergenceError(f"zandrel.solve diverged: {exc}") from exc
    solution = Solution(mesh=mesh, materials=material_map, applied=source, operator=operator, M=state.M,
                        H=state.H, iterations=field.count, newton_steps=steps, residuals=history,
                        residual=history[-1], converged=history[-1] <= tol)
    if not (np.isfinite(solution.M).all() and np.isfinite(solution.H).all()):
        raise ConvergenceError("zandrel.solve produced non-finite magnetisations")
    log.info("zandrel.solve: %s, relative residual %.3e after %d operator applications, %d Newton steps",
             "converged" if solution.converged else "NOT converged", solution.residual, solution.iterations, steps)
    if not solution.converged:
        message = (f"zandrel.solve did not reach tol={tol:g}: relative residual {solution.residual:.3e}; "
                   f"{reason or 'stopped'}")
        if on_failure == "raise":
            raise ConvergenceError(message, solution)
        warnings.warn(message, ConvergenceWarning, stacklevel=2)
    return solution


def _model_mesh(mesh, materials):
    """One Mesh from a Mesh or a list of them (merged, regions kept)."""
    if isinstance(mesh, Mesh):
        return mesh
    if isinstance(mesh, (list, tuple)) and mesh and all(isinstance(m, Mesh) for m in mesh):
        if isinstance(materials, dict):
            unnamed = [k for k, m in enumerate(mesh) if not m.regions]
            if unnamed:
                raise ValueError(f"mesh[{unnamed[0]}] has no regions, so the materials dict cannot reach its "
                                 "elements: name each body when meshing it (e.g. zandrel.box_mesh(..., "
                                 "region='plate')) or give it regions (zandrel.Mesh(nodes, elements, 'plate'))")
        return mesh[0].merge(*mesh[1:])
    raise TypeError("mesh must be a zandrel.Mesh (zandrel.Mesh(nodes, elements)) or a list of them, got "
                    f"{type(mesh).__name__}")


def _default_operator(mesh, accuracy, threads):
    import zandrel  # the package's operator, imported when first needed

    operator_class = getattr(zandrel, "FieldOperator", None)
    if operator_class is None:
        raise RuntimeError("this build of zandrel has no FieldOperator; pass operator=... to zandrel.solve")
    return operator_class(mesh, accuracy=accuracy, threads=threads)
