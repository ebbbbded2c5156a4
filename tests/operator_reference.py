"""An exact field operator by direct summation, for tests and benchmarks.

It has the interface of ``zandrel.FieldOperator`` (``n_elements``,
``apply``, ``field``, ``self_tensors``, rows of chosen elements only) and evaluates every element's exact
face-formulation field at every target with ``_zandrel.h_mag_tet4``: O(E·T)
per call, independent of the fast operator and therefore its reference.
"""
import numpy as np

import _zandrel


class DirectOperator:
    """Direct-sum map from per-element magnetisations (E, 3) A/m to H (A/m)."""

    def __init__(self, mesh, threads=0, *, accuracy=0.0, rows=None):
        self.mesh = mesh
        self.threads = threads
        self.accuracy = accuracy  # exact at any requested accuracy
        self.n_elements = mesh.n_elements
        self.rows = np.arange(self.n_elements) if rows is None else np.asarray(rows, dtype=np.int64)
        self._centroids = np.ascontiguousarray(mesh.centroids[self.rows])
        self._self = None

    def field(self, m, targets):
        m = np.ascontiguousarray(m, dtype=np.float64)
        targets = np.ascontiguousarray(targets, dtype=np.float64)
        return _zandrel.h_mag_tet4(self.mesh.nodes, self.mesh.elements, m, targets, 0.0, 0, self.threads,
                                   False, False)

    def apply(self, m):
        return self.field(m, self._centroids)

    def self_tensors(self):
        """(R, 3, 3) for the rows: column j is H at an element's centroid
        from that element alone magnetised with the unit vector e_j."""
        if self._self is None:
            tensors = np.empty((len(self.rows), 3, 3))
            one = np.array([[0, 1, 2, 3]], dtype=np.uint32)
            for e, corners in enumerate(self.mesh.elements[self.rows]):
                nodes = np.ascontiguousarray(self.mesh.nodes[corners])
                target = self._centroids[e:e + 1]
                for j in range(3):
                    unit = np.zeros((1, 3))
                    unit[0, j] = 1.0
                    tensors[e, :, j] = _zandrel.h_mag_tet4(nodes, one, unit, target, 0.0, 0, 1, False, False)[0]
            self._self = tensors
        return self._self
