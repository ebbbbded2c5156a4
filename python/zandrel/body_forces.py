"""Force and torque on a body of a solved model, by two routes.

Every element carries a uniform magnetisation M, so the model's sources are
surface charges σ = M·n on the element faces (none in the volumes). The
force on a body b is the force of everything else on b's charges; b's own
field exerts no net force or torque on it (the pair forces of its charges
cancel), so it is left out where it would only add rounding and
quadrature error.

Kelvin (charge) route. With M uniform in element e, the Kelvin force density
μ0 (M·∇)H integrates exactly, by the divergence theorem, to

    F_e = μ0 ∮_∂e (M_e·n) H_ext dA,

and the couple plus the moment of that force, μ0 ∫ [M×H + (r-p)×(M·∇)H] dV,
to μ0 ∮ (M_e·n) (r-p) × H_ext dA (write ε_ikl ∂_j[M_j (r-p)_k H_l] out). So
force and torque on b are sums over b's faces of their net charge (an
interior face carries (M_e - M_e')·n, a boundary face M_e·n) times the
moments of H_ext over the face, H_ext being the applied field plus the field
of every element outside b. H_ext is smooth inside b; at b's boundary it is
taken from b's side (the quadrature points are moved into b by 1e-7
of the face's size), which is the right limit where another body touches b:
the kernels give a face's own element's side on the face itself. Faces near
other bodies are subdivided until each piece is at most twice as large as its distance to
them, so that Gauss quadrature resolves H_ext there.

Maxwell route. The vacuum stress T = (B Bᵀ - ½|B|² I)/μ0 of the total field
integrated over a closed surface in air around b gives the force on
everything inside it, b's self-force included, which vanishes only as the
quadrature converges. The surface is a box around b's bounding box, its
margin half the clearance to the nearest other body (so that the field on it
varies on the scale of the margin, not of the elements), integrated by
Gauss–Legendre panels no larger than the margin.

Both routes act on the same discrete magnetisation: they differ by
quadrature and field-evaluation error, not by the mesh's discretisation error
(which refinement shows).
"""
import functools
import logging

import numpy as np
from scipy.spatial import cKDTree

from zandrel._convert import as_positive
from zandrel.applied import evaluate, flux_density_of, obstacles_of
from zandrel.constants import MU0
from zandrel.fields import _check_options, _evaluate_h_mag_tet4
from zandrel.mesh import _FACES
from zandrel.solution import body_field

__all__ = ["kelvin_force_on", "maxwell_force_on"]

log = logging.getLogger("zandrel")

# Radon's 7-point rule on the triangle, exact for polynomials of degree 5:
# barycentric coordinates and weights (summing to 1).
_A1, _B1 = 0.059715871789770, 0.470142064105115
_A2, _B2 = 0.797426985353087, 0.101286507323456
_W0, _W1, _W2 = 0.225, 0.132394152788506, 0.125939180544827
_RADON = (np.array([[1 / 3, 1 / 3, 1 / 3], [_A1, _B1, _B1], [_B1, _A1, _B1], [_B1, _B1, _A1],
                    [_A2, _B2, _B2], [_B2, _A2, _B2], [_B2, _B2, _A2]]),
          np.array([_W0, _W1, _W1, _W1, _W2, _W2, _W2]))

# A face is cut into s² similar pieces, s = ceil(half its diameter / its
# distance to the nearest outside element), at most this many per side
# (measured: without any cut the force of a magnet on a plate 2 mm away is
# already within 3e-5); faces touching another body take the contact count
# (the other body's face edges make H_ext log-singular there).
_MAX_SUBDIVISIONS = 4
_CONTACT_SUBDIVISIONS = 8
# Boundary points move into their element by this fraction of the face size
# (it costs about that much relative accuracy in a field gradient):
# far below any quadrature error, far above rounding of the side test.
_INWARD_SHIFT = 1e-7
# Gauss-Legendre points per panel side of the Maxwell box, and a bound on
# the box's points (panels grow beyond the margin above it, with a warning).
_BOX_GAUSS = 4
_BOX_MAX_POINTS = 2_000_000


@functools.lru_cache(maxsize=None)
def _triangle_rule(subdivisions):
    """Composite rule (barycentric (Q, 3), weights (Q,) summing to 1) of the
    7-point rule on the s² similar pieces of a triangle."""
    s = subdivisions
    corners = []
    for i in range(s):
        for j in range(s - i):
            a, b, c = (i, j), (i + 1, j), (i, j + 1)
            corners.append((a, b, c))
            if j < s - i - 1:
                corners.append(((i + 1, j), (i + 1, j + 1), (i, j + 1)))
    bary, weights = [], []
    for piece in corners:
        # Barycentric coordinates of the piece's corners in the triangle.
        p = np.array([[1.0 - (u + v) / s, u / s, v / s] for u, v in piece])
        bary.append(_RADON[0] @ p)
        weights.append(_RADON[1] / s ** 2)
    return np.concatenate(bary), np.concatenate(weights)


def _external_field(solution, body, exact):
    """H_ext(points): the applied field plus the field of every element
    outside ``body`` (indices), in A/m."""
    mesh = solution.mesh
    others = np.setdiff1d(np.arange(mesh.n_elements), body)
    if exact:
        connectivity = np.ascontiguousarray(mesh.elements[others])
        magnetization = np.ascontiguousarray(solution.M[others])
        options = _check_options()

        def others_field(points):
            return _evaluate_h_mag_tet4(mesh.nodes, connectivity, magnetization, points, options)
    else:
        masked = solution.M.copy()
        masked[body] = 0.0

        def others_field(points):
            return body_field(solution.operator, masked, points)

    def field(points):
        h = evaluate(solution.applied, points, "the applied field")
        if len(others) and len(points):
            h = h + others_field(points)
        return h
    return field, others


def _charged_faces(mesh, body, M):
    """The faces of the body with their net charge: (triangles (F, 3, 3)
    corner coordinates, area (F,), net σ (F,) in A/m, unit normals (F, 3),
    boundary flag (F,)); normals point out of the element the face was
    taken from (out of the body on its boundary). Faces without charge
    (between elements of equal M) are dropped."""
    tri = mesh.elements[body].astype(np.int64)[:, _FACES].reshape(-1, 3)
    owner = np.repeat(body, 4)
    corners = mesh.nodes[tri]
    area_vector = 0.5 * np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    area = np.linalg.norm(area_vector, axis=1)
    normal = area_vector / area[:, None]
    sigma = np.einsum("ij,ij->i", M[owner], normal)
    _, first, inverse, counts = np.unique(np.sort(tri, axis=1), axis=0, return_index=True, return_inverse=True,
                                          return_counts=True)
    net = np.bincount(inverse.reshape(-1), weights=sigma, minlength=len(first))
    keep = np.abs(net) > 1e-12 * max(float(np.abs(sigma).max(initial=0.0)), 1e-300)
    first, net, boundary = first[keep], net[keep], counts[keep] == 1
    return corners[first], area[first], net, normal[first], boundary


def _subdivisions(triangles, others, mesh, solution):
    """Pieces per side (F,) of each face: its diameter over its distance to
    the nearest element outside the body (or carrier of the applied field)."""
    centres, radii = [], []
    if len(others):
        corners = mesh.nodes[mesh.elements[others].astype(np.int64)]
        c = corners.mean(axis=1)
        centres.append(c)
        radii.append(np.linalg.norm(corners - c[:, None], axis=2).max(axis=1))
    boxes = obstacles_of(solution.applied)
    if boxes is not None and len(boxes[0]):
        centres.append(0.5 * (boxes[0] + boxes[1]))
        radii.append(0.5 * np.linalg.norm(boxes[1] - boxes[0], axis=1))
    if not centres:
        return np.ones(len(triangles), dtype=np.int64)
    centres, radii = np.concatenate(centres), np.concatenate(radii)
    face_centres = triangles.mean(axis=1)
    diameter = np.max([np.linalg.norm(triangles[:, i] - triangles[:, j], axis=1)
                       for i, j in ((0, 1), (1, 2), (2, 0))], axis=0)
    k = min(8, len(centres))
    distance, nearest = cKDTree(centres).query(face_centres, k=k)
    distance, nearest = distance.reshape(len(face_centres), k), nearest.reshape(len(face_centres), k)
    gap = np.min(distance - radii[nearest], axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(gap > 0.0, 0.5 * diameter / gap, np.inf)
    levels = np.clip(np.ceil(ratio), 1, _MAX_SUBDIVISIONS).astype(np.int64)
    # Touching: within rounding of the face's size.
    levels[gap <= 1e-9 * diameter] = _CONTACT_SUBDIVISIONS
    return levels


def kelvin_force_on(solution, body, about, exact):
    """Force (3,) N and torque (3,) N·m about ``about`` on the elements
    ``body`` by the charge form of the Kelvin force (module notes)."""
    mesh = solution.mesh
    field, others = _external_field(solution, body, exact)
    triangles, area, sigma, normal, boundary = _charged_faces(mesh, body, solution.M)
    levels = _subdivisions(triangles, others, mesh, solution)
    size = np.sqrt(area)
    force, torque = np.zeros(3), np.zeros(3)
    for level in np.unique(levels):
        faces = np.flatnonzero(levels == level)
        bary, weights = _triangle_rule(int(level))
        points = np.einsum("qk,fkj->fqj", bary, triangles[faces])
        inward = np.where(boundary[faces], _INWARD_SHIFT * size[faces], 0.0)
        h = field(np.ascontiguousarray((points - (inward[:, None] * normal[faces])[:, None, :]).reshape(-1, 3)))
        charge = (MU0 * sigma[faces] * area[faces])[:, None] * weights[None, :]  # (F, Q) in N per (A/m)
        h = h.reshape(points.shape)
        force += np.einsum("fq,fqj->j", charge, h)
        torque += np.einsum("fq,fqj->j", charge, np.cross(points - about, h))
    return force, torque


def _clearance(lo, hi, boxes):
    """Per box (K, 3)-(K, 3): how far it lies outside [lo, hi] along the
    axis that separates them best (<= 0: the boxes touch or overlap)."""
    return np.max(np.maximum(lo - boxes[1], boxes[0] - hi), axis=1)


def _box_surface(lo, hi, panel):
    """Gauss-Legendre points (P, 3), weights (P,) in m² and outward normals
    (P, 3) on the surface of the box [lo, hi], panels at most ``panel``."""
    nodes, weights = np.polynomial.legendre.leggauss(_BOX_GAUSS)
    points, areas, normals = [], [], []
    for axis in range(3):
        u, v = (axis + 1) % 3, (axis + 2) % 3
        coordinates = []
        for w in (u, v):
            length = hi[w] - lo[w]
            n = max(1, int(np.ceil(length / panel)))
            edges = np.linspace(lo[w], hi[w], n + 1)
            half = 0.5 * np.diff(edges)
            coordinates.append(((0.5 * (edges[:-1] + edges[1:]))[:, None] + half[:, None] * nodes).ravel())
            coordinates.append((half[:, None] * weights).ravel())
        (cu, wu), (cv, wv) = coordinates[:2], coordinates[2:]
        gu, gv = np.meshgrid(cu, cv, indexing="ij")
        weight = np.outer(wu, wv).ravel()
        for side, value in ((-1.0, lo[axis]), (1.0, hi[axis])):
            p = np.empty((gu.size, 3))
            p[:, axis], p[:, u], p[:, v] = value, gu.ravel(), gv.ravel()
            normal = np.zeros(3)
            normal[axis] = side
            points.append(p)
            areas.append(weight)
            normals.append(np.broadcast_to(normal, p.shape))
    return np.concatenate(points), np.concatenate(areas), np.concatenate(normals)


def _surface_points(lo, hi, margin):
    extent = hi - lo
    panel = margin
    faces = 2 * (extent[0] * extent[1] + extent[1] * extent[2] + extent[2] * extent[0])
    if faces / panel ** 2 * _BOX_GAUSS ** 2 > _BOX_MAX_POINTS:
        panel = np.sqrt(faces * _BOX_GAUSS ** 2 / _BOX_MAX_POINTS)
        log.warning("zandrel: the Maxwell box needs panels of %.3g m (the margin is %.3g m) to stay below %d "
                    "points; its force may be inaccurate: use method='kelvin' for bodies this close", panel,
                    margin, _BOX_MAX_POINTS)
    return _box_surface(lo, hi, panel)


def maxwell_force_on(solution, body, about, exact, margin=None, name="the body"):
    """Force (3,) N and torque (3,) N·m about ``about`` on the elements
    ``body`` from the Maxwell stress on a box in the air around them."""
    mesh = solution.mesh
    corners = mesh.nodes[mesh.elements[body].astype(np.int64)]
    lo, hi = corners.min(axis=(0, 1)), corners.max(axis=(0, 1))
    others = np.setdiff1d(np.arange(mesh.n_elements), body)
    other_corners = mesh.nodes[mesh.elements[others].astype(np.int64)]
    boxes = [(other_corners.min(axis=1), other_corners.max(axis=1))]
    applied = obstacles_of(solution.applied)
    if applied is not None:
        boxes.append(applied)
    else:
        log.debug("zandrel: the applied field's carriers are unknown; the Maxwell box around %s assumes they "
                  "lie outside it", name)
    clearance = np.concatenate([_clearance(lo, hi, b) for b in boxes])
    gap = float(clearance.min(initial=np.inf))
    if not gap > 0.0:
        where = int(np.argmin(clearance))
        what = (f"element {int(others[where])}" if where < len(others)
                else "a carrier of the applied field")
        raise ValueError(f"no box in the air around {name} leaves out every other body: {what} touches or "
                         f"reaches into its bounding box (clearance {gap:.3g} m); the Maxwell stress needs a "
                         "closed surface in air around the body alone. Use method='kelvin', which works for "
                         "bodies in contact")
    size = float((hi - lo).max())
    if margin is None:
        margin = min(0.5 * gap, 0.5 * size)
    else:
        margin = as_positive(margin, "margin")
        if not margin < gap:
            raise ValueError(f"margin must be smaller than the clearance {gap:.4g} m between {name} and the "
                             f"nearest other body, got {margin:g} m")
    points, areas, normals = _surface_points(lo - margin, hi + margin, margin)
    B = flux_density_of(solution.applied, points, "the applied field")
    if mesh.n_elements:
        B = B + MU0 * solution._body_field(points, exact)
    stress = (B * np.einsum("ij,ij->i", B, normals)[:, None] - 0.5 * np.einsum("ij,ij->i", B, B)[:, None]
              * normals) / MU0 * areas[:, None]
    return stress.sum(axis=0), np.cross(points - about, stress).sum(axis=0)
