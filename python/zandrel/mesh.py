"""Tetrahedral meshes with named regions.

A :class:`Mesh` is what every model of the package is built on: nodes in
metres, four-node tetrahedra, and named regions (sets of elements that share
a material). Construction checks what the native kernels cannot: shapes,
index ranges, finite coordinates, element orientation (reversed elements are
repaired, since a reversed element silently contributes the opposite field),
degenerate elements and tangled meshes (both refused).
"""
import logging

import numpy as np

import _zandrel
from zandrel._convert import as_connectivity, as_indices, as_points, as_vector

__all__ = ["Mesh", "signed_volumes"]

log = logging.getLogger("zandrel")

# An element whose volume is below this fraction of the cube of its longest
# edge from node 0 is flat: its four nodes are coplanar up to rounding.
_FLAT_VOLUME = 1e-12

# The faces of a tetrahedron (t0, t1, t2, t3) with outward right-hand normals
# when the element is positively oriented; the same table as the boundary
# extraction of the extension.
_FACES = np.array([[0, 3, 2], [0, 2, 1], [0, 1, 3], [1, 2, 3]])


def signed_volumes(nodes, elements):
    """Signed volumes (E,) of tetrahedra: positive when node 3 lies on the
    side of (node1 - node0) x (node2 - node0)."""
    nodes = np.asarray(nodes, dtype=np.float64)
    elements = np.asarray(elements).astype(np.int64, copy=False)
    a = nodes[elements[:, 0]]
    return np.einsum("ij,ij->i", nodes[elements[:, 1]] - a,
                     np.cross(nodes[elements[:, 2]] - a, nodes[elements[:, 3]] - a)) / 6.0


def _first(indices, limit=10):
    shown = ", ".join(str(int(i)) for i in indices[:limit])
    return shown + (f", ... ({len(indices)} in all)" if len(indices) > limit else "")


def _tangled_elements(elements):
    """Elements that overlap a neighbour: after every element has been made
    positive, a face shared by two elements must appear once in each
    orientation; a face seen twice in the same orientation (two elements on
    the same side of it) or by three or more elements means the mesh folds
    over itself there, which no reordering of nodes repairs."""
    if len(elements) < 2:
        return np.zeros(0, dtype=np.int64)
    faces = elements[:, _FACES].reshape(-1, 3).astype(np.int64)
    order = np.argsort(faces, axis=1)
    keys = np.take_along_axis(faces, order, axis=1)
    # Parity of the permutation that sorts the face's corners: its orientation.
    parity = ((order[:, 0] > order[:, 1]).astype(np.int8) + (order[:, 0] > order[:, 2])
              + (order[:, 1] > order[:, 2])) % 2
    _, inverse, counts = np.unique(keys, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.reshape(-1)
    orientation_sum = np.bincount(inverse, weights=parity, minlength=len(counts))
    bad_face = (counts > 2) | ((counts == 2) & (orientation_sum != 1))
    return np.unique(np.flatnonzero(bad_face[inverse]) // 4)


class Mesh:
    """A tetrahedral mesh with named regions.

    Parameters
    ----------
    nodes : array_like, shape (N, 3)
        Node coordinates in metres.
    elements : array_like of int, shape (E, 4) or (E, 10)
        0-based node indices of each tetrahedron (any integer dtype; 10-node
        tetrahedra are reduced to their corners).
    regions : dict or str, optional
        Named groups of elements, ``{name: indices or boolean mask}``; each
        element belongs to at most one region. A single string names one
        region holding the whole mesh. Default: no regions (a model then
        treats the mesh as one body).
    repair : bool, default True
        Reorder the nodes of negatively oriented elements (node 3 on the
        wrong side of (n1 - n0) x (n2 - n0)). With False such elements are
        refused.

    Raises
    ------
    ValueError
        For wrong shapes, indices out of range, non-finite coordinates,
        elements of zero volume, tangled elements (overlapping their
        neighbours), overlapping regions.

    Notes
    -----
    The arrays are stored read-only, C-contiguous, as float64 and uint32,
    ready for the native functions. ``repaired`` counts the elements whose
    orientation was fixed. A mesh unpacks as ``nodes, elements = mesh``.
    """

    def __init__(self, nodes, elements, regions=None, *, repair=True):
        nodes = as_points(nodes, "nodes")
        elements = as_connectivity(elements, "elements", len(nodes))
        volumes = signed_volumes(nodes, elements) if len(elements) else np.zeros(0)
        if len(elements):
            a = nodes[elements[:, 0]]
            longest = np.max([np.linalg.norm(nodes[elements[:, k]] - a, axis=1) for k in (1, 2, 3)], axis=0)
            flat = np.flatnonzero(np.abs(volumes) <= _FLAT_VOLUME * longest**3)
            if len(flat):
                raise ValueError(f"elements {_first(flat)} have zero volume (repeated or coplanar nodes); "
                                 "remove them from the mesh")
        reversed_ = np.flatnonzero(volumes < 0.0)
        if len(reversed_):
            if not repair:
                raise ValueError(f"elements {_first(reversed_)} are negatively oriented; "
                                 "pass repair=True to reorder their nodes")
            elements = elements.copy()
            elements[reversed_, 1], elements[reversed_, 2] = elements[reversed_, 2], elements[reversed_, 1].copy()
            log.info("zandrel.Mesh: %d of %d elements were reversed and have been reordered",
                     len(reversed_), len(elements))
        tangled = _tangled_elements(elements)
        if len(tangled):
            raise ValueError(f"elements {_first(tangled)} overlap their neighbours (the mesh is tangled "
                             "or has a face shared by more than two elements); reordering nodes cannot "
                             "repair this: regenerate the mesh")
        nodes.flags.writeable = False
        elements.flags.writeable = False
        self._nodes = nodes
        self._elements = elements
        self._regions = self._check_regions(regions, len(elements))
        self.repaired = len(reversed_)
        self._volumes = None
        self._centroids = None

    @staticmethod
    def _check_regions(regions, count):
        if regions is None:
            return {}
        if isinstance(regions, str):
            regions = {regions: np.arange(count)}
        if not isinstance(regions, dict):
            raise TypeError("regions must be a dict {name: element indices} or a single name")
        owner = np.full(count, -1, dtype=np.int64)
        checked = {}
        for k, (name, members) in enumerate(regions.items()):
            if not isinstance(name, str) or not name:
                raise TypeError(f"region names must be non-empty strings, got {name!r}")
            idx = np.unique(as_indices(members, f"regions[{name!r}]", count, allow_mask=True))
            clash = idx[owner[idx] >= 0]
            if len(clash):
                other = list(regions)[owner[clash[0]]]
                raise ValueError(f"element {int(clash[0])} is in both regions {other!r} and {name!r}; "
                                 "each element may belong to one region only")
            owner[idx] = k
            idx.flags.writeable = False
            checked[name] = idx
        return checked

    # ---- the stored data --------------------------------------------------
    @property
    def nodes(self):
        """(N, 3) float64 node coordinates in metres (read-only)."""
        return self._nodes

    @property
    def elements(self):
        """(E, 4) uint32 node indices, every element positively oriented (read-only)."""
        return self._elements

    @property
    def regions(self):
        """Dict {name: sorted int64 element indices} (a copy of the mapping; the index arrays are read-only)."""
        return dict(self._regions)

    @property
    def n_nodes(self):
        return len(self._nodes)

    @property
    def n_elements(self):
        return len(self._elements)

    @property
    def volumes(self):
        """(E,) element volumes in m³."""
        if self._volumes is None:
            self._volumes = _zandrel.mesh_volumes(self._nodes, self._elements)
            self._volumes.flags.writeable = False
        return self._volumes

    @property
    def centroids(self):
        """(E, 3) element centroids in m."""
        if self._centroids is None:
            self._centroids = _zandrel.mesh_centroids(self._nodes, self._elements)
            self._centroids.flags.writeable = False
        return self._centroids

    @property
    def region_index(self):
        """(E,) int64: the position of each element's region in ``regions`` (-1: none)."""
        index = np.full(self.n_elements, -1, dtype=np.int64)
        for k, members in enumerate(self._regions.values()):
            index[members] = k
        return index

    def region(self, name):
        """Element indices of the named region (``KeyError`` lists the names when absent)."""
        try:
            return self._regions[name]
        except KeyError:
            raise KeyError(f"no region {name!r}; the mesh has {sorted(self._regions) or 'no regions'}") from None

    def select(self, region=None):
        """Element indices of a region name, a list of names, explicit indices
        or a boolean mask; None selects every element."""
        if region is None:
            return np.arange(self.n_elements)
        if isinstance(region, str):
            return self.region(region)
        if isinstance(region, (list, tuple)) and region and all(isinstance(r, str) for r in region):
            return np.unique(np.concatenate([self.region(r) for r in region]))
        return np.unique(as_indices(region, "region", self.n_elements, allow_mask=True))

    # ---- geometry ---------------------------------------------------------
    def boundary_faces(self, region=None):
        """(K, 3) uint32 boundary triangles of the selected elements, each
        with its outward right-hand normal (global node indices)."""
        selected = np.ascontiguousarray(self._elements[self.select(region)])
        return _zandrel.mesh_surface_faces(selected)

    def boundary(self, region=None):
        """Boundary triangles of the selected elements with their geometry:
        ``(faces (K, 3), areas (K,) m², centroids (K, 3) m, normals (K, 3))``,
        normals outward and of unit length."""
        faces = self.boundary_faces(region)
        areas, centroids, normals = _zandrel.mesh_surface_face_properties(self._nodes, faces)
        return faces, areas, centroids, normals

    @property
    def bounds(self):
        """((xmin, ymin, zmin), (xmax, ymax, zmax)) of the nodes, in m."""
        return self._nodes.min(axis=0), self._nodes.max(axis=0)

    # ---- new meshes from this one -------------------------------------------
    def submesh(self, region):
        """The selected elements as a mesh of their own (unused nodes dropped,
        regions restricted to the selection)."""
        keep = self.select(region)
        used, local = np.unique(self._elements[keep], return_inverse=True)
        position = np.full(self.n_elements, -1, dtype=np.int64)
        position[keep] = np.arange(len(keep))
        regions = {}
        for name, members in self._regions.items():
            inside = position[members]
            inside = inside[inside >= 0]
            if len(inside):
                regions[name] = inside
        return Mesh(self._nodes[used], local.reshape(-1, 4), regions)

    def translated(self, offset):
        """A copy moved by ``offset`` (3,) m."""
        return self._with_nodes(self._nodes + as_vector(offset, "offset"))

    def scaled(self, factor, about=(0.0, 0.0, 0.0)):
        """A copy scaled by ``factor`` (> 0) about the point ``about``."""
        factor = float(factor)
        if not (factor > 0.0 and np.isfinite(factor)):
            raise ValueError(f"factor must be positive and finite, got {factor!r}")
        centre = as_vector(about, "about")
        return self._with_nodes((self._nodes - centre) * factor + centre)

    def rotated(self, rotation, about=(0.0, 0.0, 0.0)):
        """A copy rotated by ``rotation`` (a 3x3 rotation matrix or an object
        with ``as_matrix()``, such as ``scipy.spatial.transform.Rotation``)
        about the point ``about``."""
        matrix = np.asarray(rotation.as_matrix() if hasattr(rotation, "as_matrix") else rotation, dtype=np.float64)
        if matrix.shape != (3, 3) or not np.allclose(matrix @ matrix.T, np.eye(3), atol=1e-9) \
                or np.linalg.det(matrix) < 0.0:
            raise ValueError("rotation must be a proper 3x3 rotation matrix (orthonormal, determinant +1)")
        centre = as_vector(about, "about")
        return self._with_nodes((self._nodes - centre) @ matrix.T + centre)

    def __setstate__(self, state):
        # Unpickled arrays may point into a message buffer without the
        # alignment of their dtype (Dask ships arrays so); the native
        # functions need it.
        for key in ("_nodes", "_elements", "_volumes", "_centroids"):
            if isinstance(state.get(key), np.ndarray):
                state[key] = np.require(state[key], requirements=["C", "A"])
                state[key].flags.writeable = False
        self.__dict__.update(state)

    def _with_nodes(self, nodes):
        # A rigid motion or a positive scaling keeps orientation and validity.
        mesh = object.__new__(Mesh)
        mesh._nodes = np.ascontiguousarray(nodes)
        mesh._nodes.flags.writeable = False
        mesh._elements = self._elements
        mesh._regions = self._regions
        mesh.repaired = 0
        mesh._volumes = mesh._centroids = None
        return mesh

    def merge(self, *others):
        """One mesh holding this mesh and ``others`` side by side (their nodes
        are not fused: separate bodies stay separate). Regions keep their
        names; regions of the same name in several meshes are combined into
        one (they share a material)."""
        meshes = (self,) + others
        for k, other in enumerate(others):
            if not isinstance(other, Mesh):
                raise TypeError(f"merge takes Mesh objects, argument {k + 1} is {type(other).__name__}")
        node_offsets = np.cumsum([0] + [m.n_nodes for m in meshes])
        element_offsets = np.cumsum([0] + [m.n_elements for m in meshes])
        nodes = np.concatenate([m._nodes for m in meshes])
        elements = np.concatenate([m._elements.astype(np.int64) + off for m, off in zip(meshes, node_offsets)])
        regions = {}
        for m, off in zip(meshes, element_offsets):
            for name, members in m._regions.items():
                regions.setdefault(name, []).append(members + off)
        return Mesh(nodes, elements, {name: np.concatenate(parts) for name, parts in regions.items()})

    # ---- files and other programs ---------------------------------------------
    @classmethod
    def read(cls, path, file_format=None, *, region_data=None, return_data=False, repair=True):
        """Read a tetrahedral mesh from a file, through meshio.

        Any format meshio reads with tetrahedral cells: gmsh ``.msh`` (2 and
        4), ``.vtu``/``.vtk``, ``.xdmf``, Abaqus ``.inp``, Medit ``.mesh``,
        ... Tetrahedra of all cell blocks are taken in file order; other
        cells (the triangles and lines of a gmsh file) are ignored, 10-node
        tetrahedra are reduced to their corners (logged), other volume cells
        (hexahedra, prisms, pyramids) are refused. Nodes keep the file's
        numbering (0-based), unused ones included.

        Regions come from, in this order:

        - the integer cell array ``region_data`` when given, else the first
          of ``gmsh:physical`` (gmsh physical groups), ``region`` (written
          by :meth:`write`), ``CellEntityIds``, ``medit:ref``: one region
          per non-zero value, named by the file's field data (gmsh physical
          names, the names :meth:`write` stores) or else by the number;
        - otherwise the cell sets (Abaqus element sets, ...) holding
          tetrahedra; a set of every element is dropped when there are
          others.

        Parameters
        ----------
        path : str or path-like
            The file.
        file_format : str, optional
            meshio's format name, when the suffix does not tell.
        region_data : str, optional
            Name of the cell array holding region ids.
        return_data : bool, default False
            Also return the file's cell data (restricted to the
            tetrahedra, in element order) and point data.
        repair : bool, default True
            As for :class:`Mesh`: reorder reversed elements (logged).

        Returns
        -------
        mesh : Mesh
        cell_data, point_data : dict of ndarray
            Only with ``return_data``: ``{name: (E, ...) array}`` and
            ``{name: (N, ...) array}``.

        Raises
        ------
        ValueError
            No tetrahedra in the file, other volume cells, non-integer region
            ids, or any check of :class:`Mesh`.
        """
        from zandrel.mesh_io import read_mesh
        return read_mesh(path, file_format, region_data=region_data, return_data=return_data, repair=repair)

    def write(self, path, cell_data=None, point_data=None, file_format=None, **kwargs):
        """Write the mesh with data through meshio (``.vtu``, ``.xdmf``, ``.msh``, ...).

        Always writes the region of each element as the integer cell array
        ``region`` (1, 2, ... in the order of :attr:`regions`; 0 = none) and
        the region names beside it, so that :meth:`read` gives back the same
        mesh and regions: as VTK field data in ``.vtu`` (integer arrays
        ``[id, 3]`` named after the regions), as the XDMF information block
        in ``.xdmf``, as physical tags and names in ``.msh`` (written as
        gmsh 2.2, which keeps element order), as element sets in Abaqus
        ``.inp``. Other formats keep what meshio writes of them.

        Parameters
        ----------
        path : str or path-like
            The file; its suffix picks the format.
        cell_data : dict, optional
            ``{name: (E,) or (E, k) array}``, one row per element in
            element order (e.g. ``{"M": M}`` in A/m); booleans are written
            as int8. ``region`` is reserved.
        point_data : dict, optional
            ``{name: (N,) or (N, k) array}``, one row per node.
        file_format : str, optional
            meshio's format name, overriding the suffix.
        **kwargs
            Passed to ``meshio.write`` (e.g. ``binary=False``,
            ``compression=None`` for ``.vtu``).

        Notes
        -----
        ``.xdmf`` writes its arrays to an HDF5 file beside it and needs
        h5py (``pip install h5py``).
        """
        from zandrel.mesh_io import write_mesh
        write_mesh(self, path, cell_data, point_data, file_format, **kwargs)

    @classmethod
    def from_gmsh(cls, *, all_elements=False, repair=True):
        """The tetrahedra of the current gmsh model as a Mesh.

        For CAD-like geometry built with the gmsh Python API
        (``pip install zandrel[gmsh]``): build the model (``gmsh.model.occ``
        ...), declare physical volume groups with names, mesh it with
        ``gmsh.model.mesh.generate(3)``, then call this. The physical
        volumes become the regions (named by their physical names, or by
        their tags when unnamed); gmsh's node tags are mapped to 0-based
        indices (the used nodes, in tag order). gmsh stays initialised.

        Parameters
        ----------
        all_elements : bool, default False
            With physical volumes defined, only their elements are taken (as
            gmsh does when it saves a mesh); True takes the elements of every
            volume, those outside the groups in no region.
        repair : bool, default True
            As for :class:`Mesh`.

        Raises
        ------
        ImportError
            gmsh is not installed.
        RuntimeError
            gmsh is not initialised.
        ValueError
            No tetrahedra (no 3D mesh generated), elements other than
            tetrahedra, a volume in two physical groups.
        """
        from zandrel.mesh_io import mesh_from_gmsh
        return mesh_from_gmsh(all_elements=all_elements, repair=repair)

    # ---- conveniences -----------------------------------------------------
    def __iter__(self):
        # nodes, elements = mesh: a mesh stands where a (nodes, connectivity) pair is expected.
        return iter((self._nodes, self._elements))

    def __repr__(self):
        regions = ", ".join(f"{name!r}: {len(m)}" for name, m in self._regions.items())
        return f"Mesh({self.n_nodes} nodes, {self.n_elements} elements, regions {{{regions}}})"
