"""Which sources contain which target points: the tetrahedron holding a
target, the equivalent spheres of point sources around it.

B = mu0 (H + M) needs the magnetisation at the target, that is the source
the target lies in. Candidates come from a uniform bucket grid over the
sources' bounding boxes (NumPy only, O((S + T) log(S + T))); the exact test
then runs on the candidate pairs alone.
"""
import numpy as np

__all__ = ["containing_tetrahedra", "containing_spheres"]

# Targets are located in blocks of this many, which bounds the memory of the
# candidate pairs.
_TARGET_BLOCK = 1 << 16

# A target on a face or edge (up to rounding, in barycentric coordinates)
# counts as inside the element.
_BARYCENTRIC_SLACK = 1e-12


def _bucket_grid(lo, hi):
    """Origin, cell size and dimensions of a grid over the boxes [lo, hi],
    each box registered in every cell it touches. The cell starts at half the
    median box size (few candidates per target, about 27 registrations per
    box) and doubles while a few large boxes among many small ones would
    register too often, or while the cell keys would not fit into 62 bits."""
    origin = lo.min(axis=0)
    span = hi.max(axis=0) - origin
    extent = (hi - lo).max(axis=1)
    cell = 0.5 * float(np.median(extent))
    if not cell > 0.0:
        cell = float(span.max()) / max(1.0, len(lo) ** (1.0 / 3.0)) or 1.0
    while True:
        dims = np.floor(span / cell).astype(np.int64) + 1
        first = np.floor((lo - origin) / cell).astype(np.int64)
        counts = np.prod(np.floor((hi - origin) / cell).astype(np.int64) - first + 1, axis=1)
        if counts.sum() <= 32 * len(lo) + 4096 and np.prod(dims.astype(float)) < 2.0**62:
            return origin, cell, dims, first, counts
        cell *= 2.0


def _box_candidates(lo, hi, points):
    """Pairs (point index, box index) with lo[b] <= points[p] <= hi[b]
    component by component, as two int64 arrays."""
    origin, cell, dims, first, counts = _bucket_grid(lo, hi)
    # Expand every box into the cells it covers.
    box = np.repeat(np.arange(len(lo)), counts)
    offset = np.arange(len(box)) - np.repeat(np.cumsum(counts) - counts, counts)
    span = (np.floor((hi - origin) / cell).astype(np.int64) - first + 1)[box]
    steps = np.stack([offset // (span[:, 1] * span[:, 2]), (offset // span[:, 2]) % span[:, 1],
                      offset % span[:, 2]], axis=1)
    cells = first[box] + steps
    keys = (cells[:, 0] * dims[1] + cells[:, 1]) * dims[2] + cells[:, 2]
    order = np.argsort(keys, kind="stable")
    keys, box = keys[order], box[order]

    pairs_p, pairs_b = [], []
    upper = hi.max(axis=0)
    for start in range(0, len(points), _TARGET_BLOCK):
        block = points[start:start + _TARGET_BLOCK]
        candidates = np.flatnonzero(np.all((block >= origin) & (block <= upper), axis=1))
        at = np.floor((block[candidates] - origin) / cell).astype(np.int64)
        point_keys = (at[:, 0] * dims[1] + at[:, 1]) * dims[2] + at[:, 2]
        left = np.searchsorted(keys, point_keys, side="left")
        right = np.searchsorted(keys, point_keys, side="right")
        n = right - left
        p = np.repeat(candidates, n)
        b = box[np.repeat(left, n) + np.arange(n.sum()) - np.repeat(np.cumsum(n) - n, n)]
        q = block[p]
        inside = np.all((q >= lo[b]) & (q <= hi[b]), axis=1)
        pairs_p.append(p[inside] + start)
        pairs_b.append(b[inside])
    if not pairs_p:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    return np.concatenate(pairs_p), np.concatenate(pairs_b)


def containing_tetrahedra(nodes, connectivity, points):
    """For each point (T,) the index of the lowest-numbered tetrahedron that
    contains it (faces and edges included), -1 where none does. Degenerate
    elements contain nothing."""
    result = np.full(len(points), -1, dtype=np.int64)
    if len(connectivity) == 0 or len(points) == 0:
        return result
    corners = nodes[connectivity.astype(np.int64)]
    p, e = _box_candidates(corners.min(axis=1), corners.max(axis=1), points)
    a = corners[e, 0]
    d1, d2, d3 = corners[e, 1] - a, corners[e, 2] - a, corners[e, 3] - a
    r = points[p] - a
    # Barycentric coordinates by Cramer's rule: [d1 d2 d3] lambda = r.
    with np.errstate(divide="ignore", invalid="ignore"):
        det = np.einsum("ij,ij->i", d1, np.cross(d2, d3))
        l1 = np.einsum("ij,ij->i", r, np.cross(d2, d3)) / det
        l2 = np.einsum("ij,ij->i", r, np.cross(d3, d1)) / det
        l3 = np.einsum("ij,ij->i", r, np.cross(d1, d2)) / det
        inside = ((l1 >= -_BARYCENTRIC_SLACK) & (l2 >= -_BARYCENTRIC_SLACK) & (l3 >= -_BARYCENTRIC_SLACK)
                  & (l1 + l2 + l3 <= 1.0 + _BARYCENTRIC_SLACK))
    lowest = np.full(len(points), len(connectivity), dtype=np.int64)
    np.minimum.at(lowest, p[inside], e[inside])
    hit = lowest < len(connectivity)
    result[hit] = lowest[hit]
    return result


def containing_spheres(centres, radii, points):
    """Pairs (point index, source index) of every point inside (or on) the
    sphere of a source, distance <= radius, with the distance summed as the
    point kernels sum it."""
    keep = radii > 0.0
    if not keep.any() or len(points) == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    index = np.flatnonzero(keep)
    c, r = centres[index], radii[index]
    p, s = _box_candidates(c - r[:, None], c + r[:, None], points)
    d = points[p] - c[s]
    inside = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]) <= r[s]
    return p[inside], index[s[inside]]
