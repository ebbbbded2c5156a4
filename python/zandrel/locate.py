"""Which element of a tetrahedral mesh contains a point."""
import numpy as np
from scipy.spatial import cKDTree

from zandrel._convert import as_points

__all__ = ["ElementLocator"]

# Barycentric coordinates down to -_SLACK count as inside: points on a face
# (up to rounding) belong to one of the elements that share it.
_SLACK = 1e-10
# Nearest centroids tried first; most points lie in one of them.
_NEAREST = 8


class ElementLocator:
    """Finds the element containing each of many points.

    Built once per mesh: a k-d tree over the element centroids and the
    inverse edge matrix of every element. A point is tested against the
    elements of its nearest centroids first; points not found there are
    tested against every element whose centroid lies within the largest
    centroid-to-node distance of the mesh, which any element containing the
    point must satisfy, so the search is exact.
    """

    def __init__(self, mesh):
        nodes = mesh.nodes[mesh.elements.astype(np.int64)]  # (E, 4, 3)
        self._origin = nodes[:, 0]
        self._inverse = np.linalg.inv(np.transpose(nodes[:, 1:] - nodes[:, :1], (0, 2, 1)))
        centroids = mesh.centroids
        self._tree = cKDTree(centroids)
        self._reach = float(np.linalg.norm(nodes - centroids[:, None], axis=2).max()) if len(nodes) else 0.0
        self._low, self._high = (mesh.bounds if len(nodes) else (np.zeros(3), np.zeros(3)))

    def _inside(self, points, elements):
        local = np.einsum("pij,pj->pi", self._inverse[elements], points - self._origin[elements])
        return (local >= -_SLACK).all(axis=1) & (local.sum(axis=1) <= 1.0 + _SLACK)

    def locate(self, points):
        """(P,) int64: the element containing each point (P, 3) in m, -1
        for points outside the mesh."""
        points = as_points(points, "points")
        found = np.full(len(points), -1, dtype=np.int64)
        if len(points) == 0 or len(self._origin) == 0:
            return found
        margin = 1e-9 * max(float(np.max(self._high - self._low)), 1e-300)
        candidate = np.flatnonzero(((points >= self._low - margin) & (points <= self._high + margin)).all(axis=1))
        k = min(_NEAREST, len(self._origin))
        _, nearest = self._tree.query(points[candidate], k=k)
        nearest = nearest.reshape(len(candidate), k)
        for column in range(k):
            open_ = found[candidate] < 0
            rows, elements = candidate[open_], nearest[open_, column]
            hit = self._inside(points[rows], elements)
            found[rows[hit]] = elements[hit]
        rest = candidate[found[candidate] < 0]
        if len(rest):
            lists = self._tree.query_ball_point(points[rest], self._reach * (1.0 + 1e-9))
            counts = np.fromiter((len(c) for c in lists), dtype=np.int64, count=len(rest))
            rows = np.repeat(rest, counts)
            elements = np.fromiter((e for c in lists for e in c), dtype=np.int64, count=int(counts.sum()))
            hit = self._inside(points[rows], elements)
            rows, first = np.unique(rows[hit], return_index=True)  # the first hit per point
            found[rows] = elements[hit][first]
        return found
