"""Meshes in and out: files through meshio, models from the gmsh Python API.

Regions travel in files as

- an integer cell array ``region`` (1, 2, ... in the order of
  ``mesh.regions``; 0 for elements outside every region), and
- the names as field data ``{name: [id, 3]}`` (meshio's convention for gmsh
  physical groups: tag and dimension).

meshio writes field data for gmsh files only; for ``.vtu`` and ``.xdmf`` the
names are added to the written XML, as VTK ``FieldData`` (an integer array
``[id, 3]`` per name, shown by ParaView's information panel) and as the XDMF
``Information`` block, both of which meshio reads back as field data. gmsh
files carry the ids as physical tags (``gmsh:physical``) with the names as
physical names, Abaqus files the regions as element sets.
"""
import contextlib
import io
import logging
import os
import xml.etree.ElementTree as ET

import numpy as np

log = logging.getLogger("zandrel")

__all__ = ["read_mesh", "write_mesh", "mesh_from_gmsh"]

# Cell arrays that hold region ids in the files of common tools, tried in
# this order when no name is given.
REGION_ARRAYS = ("gmsh:physical", "region", "CellEntityIds", "medit:ref")

_TETRA = ("tetra", "tetra10")
_VOLUME_CELLS = ("hexahedron", "hexahedron20", "hexahedron24", "hexahedron27", "wedge", "wedge15", "wedge18",
                 "pyramid", "pyramid13", "pyramid14", "polyhedron", "tetra4", "tetra14")


def _meshio():
    try:
        import meshio
    except ImportError as exc:  # a core dependency; say how to get it back
        raise ImportError(f"reading and writing mesh files needs meshio: pip install meshio ({exc})") from None
    return meshio


# ---- reading ----------------------------------------------------------------

def _read(path, file_format):
    """meshio.read with the format named (for .msh meshio would try ANSYS
    first and print its failure), its prints kept off the terminal and its
    exit on an unreadable file turned into an exception."""
    meshio = _meshio()
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no mesh file {path!r}")
    if file_format is None and os.path.splitext(path)[1].lower() == ".msh":
        file_format = "gmsh"
    said = io.StringIO()
    try:
        with contextlib.redirect_stdout(said), contextlib.redirect_stderr(said):
            return meshio.read(path, file_format=file_format)
    except SystemExit:
        detail = " ".join(said.getvalue().split())
        raise ValueError(f"meshio could not read {path}: {detail}") from None
    except ValueError as exc:
        if "gmsh:physical" not in str(exc):
            raise
        # meshio's gmsh 4 reader cannot give physical tags to some entity
        # blocks and not to others.
        raise ValueError(f"meshio cannot read {path}: some of its volumes are in no physical group (a file "
                         "saved with gmsh's Mesh.SaveAll); save it without SaveAll, or build the mesh from the "
                         "model with zandrel.Mesh.from_gmsh(all_elements=True)") from exc

def _tetra_blocks(data, path):
    """Indices of the tetrahedral cell blocks; other volume cells are refused."""
    blocks = [k for k, block in enumerate(data.cells) if block.type in _TETRA]
    others = {block.type: len(block.data) for block in data.cells
              if block.type in _VOLUME_CELLS or block.type.startswith(("hexahedron", "wedge", "pyramid"))}
    if others:
        found = ", ".join(f"{count} {kind}" for kind, count in others.items())
        raise ValueError(f"{path} has volume cells other than tetrahedra ({found}); zandrel meshes are "
                         "tetrahedral: mesh the volume with tetrahedra only")
    if not blocks:
        kinds = sorted({block.type for block in data.cells}) or ["none"]
        raise ValueError(f"{path} has no tetrahedra (cell types: {', '.join(kinds)}); zandrel needs a volume "
                         "mesh of tetrahedra")
    return blocks


def _region_ids(data, blocks, region_data):
    """(E,) integer region ids from a cell array, or None when there is none."""
    names = [region_data] if region_data is not None else [n for n in REGION_ARRAYS if n in data.cell_data]
    if region_data is not None and region_data not in data.cell_data:
        raise KeyError(f"no cell data {region_data!r}; the file has {sorted(data.cell_data) or 'none'}")
    if not names:
        return None
    values = np.concatenate([np.asarray(data.cell_data[names[0]][k]).reshape(-1) for k in blocks])
    if not np.array_equal(values, np.round(values)):
        raise ValueError(f"cell data {names[0]!r} does not hold integer region ids")
    return values.astype(np.int64)


def _regions_from_ids(ids, field_data):
    """{name: element indices} for every non-zero id, named by the field
    data entries of dimension 3 (or without a dimension), else by the id."""
    names = {}
    for name, value in field_data.items():
        value = np.asarray(value).reshape(-1)
        if value.size and (value.size < 2 or value[1] == 3):
            names.setdefault(int(value[0]), name)
    return {names.get(int(i), str(int(i))): np.flatnonzero(ids == i) for i in np.unique(ids) if i != 0}


def _regions_from_sets(data, blocks, offsets):
    """{name: element indices} from the cell sets (Abaqus element sets, ...)
    that hold tetrahedra; a set of every element is dropped when there are
    others (it names the whole part, not a region)."""
    regions = {}
    for name, members in data.cell_sets.items():
        if name.startswith("gmsh:"):
            continue
        parts = [np.asarray(members[k]).reshape(-1).astype(np.int64) + offsets[j]
                 for j, k in enumerate(blocks) if k < len(members) and members[k] is not None]
        indices = np.unique(np.concatenate(parts)) if parts else np.zeros(0, dtype=np.int64)
        if len(indices):
            regions[name] = indices
    total = offsets[-1]
    if len(regions) > 1:
        regions = {n: i for n, i in regions.items() if len(i) < total} or regions
    return regions


def read_mesh(path, file_format=None, *, region_data=None, return_data=False, repair=True):
    """Implementation of :meth:`zandrel.Mesh.read`."""
    from zandrel.mesh import Mesh
    data = _read(path, file_format)
    blocks = _tetra_blocks(data, path)
    cells = [np.asarray(data.cells[k].data) for k in blocks]
    if any(c.shape[1] == 10 for c in cells):
        log.info("zandrel.Mesh.read: 10-node tetrahedra of %s reduced to their 4 corner nodes", path)
    elements = np.concatenate([c[:, :4] for c in cells])
    offsets = np.cumsum([0] + [len(c) for c in cells])
    ignored = sorted({b.type for k, b in enumerate(data.cells) if k not in blocks})
    if ignored:
        log.debug("zandrel.Mesh.read: cells of type %s in %s ignored", ", ".join(ignored), path)

    ids = _region_ids(data, blocks, region_data)
    if ids is not None:
        regions = _regions_from_ids(ids, data.field_data)
    else:
        regions = _regions_from_sets(data, blocks, offsets)
    mesh = Mesh(data.points, elements, regions, repair=repair)
    if not return_data:
        return mesh
    skip = set(REGION_ARRAYS) | {"gmsh:geometrical"}
    cell_data = {name: np.concatenate([np.asarray(arrays[k]) for k in blocks])
                 for name, arrays in data.cell_data.items() if name not in skip}
    point_data = {name: np.asarray(a) for name, a in data.point_data.items() if not name.startswith("gmsh:")}
    return mesh, cell_data, point_data


# ---- writing ----------------------------------------------------------------

def _checked_data(values, count, what, reserved):
    checked = {}
    for name, array in (values or {}).items():
        if not isinstance(name, str) or not name:
            raise TypeError(f"{what} names must be non-empty strings, got {name!r}")
        if name in reserved:
            raise ValueError(f"{what} name {name!r} is reserved for the element regions; choose another name")
        array = np.asarray(array)
        if array.ndim == 0 or array.shape[0] != count:
            raise ValueError(f"{what}[{name!r}] must have {count} rows (one per "
                             f"{'element' if what == 'cell_data' else 'node'}), got shape {array.shape}")
        if array.dtype == np.bool_:
            array = array.astype(np.int8)
        checked[name] = np.ascontiguousarray(array)
    return checked


def _format_of(path, file_format):
    if file_format is not None:
        return file_format
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    # gmsh 2.2 keeps one physical tag per element in element order.
    return {".msh": "gmsh22", ".vtu": "vtu", ".xdmf": "xdmf", ".xmf": "xdmf", ".inp": "abaqus"}.get(suffix)


def write_mesh(mesh, path, cell_data=None, point_data=None, file_format=None, *, extra_field_data=None, **kwargs):
    """Implementation of :meth:`zandrel.Mesh.write`; ``extra_field_data``
    ``{name: [id, dim]}`` adds names of other ids (with ``dim`` != 3, so
    that :meth:`Mesh.read` does not take them for regions)."""
    meshio = _meshio()
    fmt = _format_of(path, file_format)
    cell_data = _checked_data(cell_data, mesh.n_elements, "cell_data", {"region"})
    point_data = _checked_data(point_data, mesh.n_nodes, "point_data", ())
    ids = (mesh.region_index + 1).astype(np.int32)
    names = list(mesh.regions)
    cells = {"region": [ids], **{name: [array] for name, array in cell_data.items()}}
    field_data = {name: np.array([k + 1, 3], dtype=np.int32) for k, name in enumerate(names)}
    field_data.update(extra_field_data or {})
    if fmt == "gmsh22":
        cells["gmsh:physical"] = [ids]
        cells["gmsh:geometrical"] = [ids]
    cell_sets = {name: [members] for name, members in mesh.regions.items()}
    data = meshio.Mesh(np.asarray(mesh.nodes), [("tetra", np.asarray(mesh.elements, dtype=np.int64))],
                       point_data=point_data, cell_data=cells, field_data=field_data,
                       cell_sets=cell_sets if fmt == "abaqus" else None)
    meshio.write(os.fspath(path), data, file_format=fmt, **kwargs)
    if fmt == "vtu" and field_data:
        _add_vtu_field_data(path, field_data)
    elif fmt == "xdmf" and field_data:
        _add_xdmf_information(path, field_data)


def _add_vtu_field_data(path, field_data):
    """Region names as VTK FieldData of the UnstructuredGrid: one Int32
    array [id, 3] per name, in ASCII (they are tiny)."""
    tree = ET.parse(path)
    grid = tree.getroot().find("UnstructuredGrid")
    block = ET.Element("FieldData")
    for name, value in field_data.items():
        array = ET.SubElement(block, "DataArray", type="Int32", Name=name, NumberOfTuples="2", format="ascii")
        array.text = " ".join(str(int(v)) for v in value)
    grid.insert(0, block)
    tree.write(path)


def _add_xdmf_information(path, field_data):
    """Region names as the XDMF Information block meshio reads as field data."""
    tree = ET.parse(path)
    grid = tree.getroot().find("Domain/Grid")
    root = ET.Element("main")
    for name, value in field_data.items():
        entry = ET.SubElement(root, "map", key=name, dim=str(int(value[1])))
        entry.text = str(int(value[0]))
    information = ET.Element("Information", Name="Information", Value=str(len(field_data)))
    information.text = ET.tostring(root, encoding="unicode")
    grid.insert(0, information)
    tree.write(path)


# ---- gmsh ---------------------------------------------------------------------

# gmsh element types of tetrahedra: 4 = 4-node, 11 = 10-node.
_GMSH_TETRA = {4: 4, 11: 10}


def mesh_from_gmsh(all_elements=False, repair=True):
    """Implementation of :meth:`zandrel.Mesh.from_gmsh`."""
    from zandrel.mesh import Mesh
    try:
        import gmsh
    except (ImportError, OSError) as exc:
        raise ImportError(f"Mesh.from_gmsh needs the gmsh Python API: pip install zandrel[gmsh] ({exc})") from None
    if not gmsh.isInitialized():
        raise RuntimeError("gmsh is not initialised: call gmsh.initialize(), build or open a model and "
                           "gmsh.model.mesh.generate(3) first")
    groups = [(tag, gmsh.model.getPhysicalName(3, tag) or str(tag),
               [int(e) for e in gmsh.model.getEntitiesForPhysicalGroup(3, tag)])
              for _, tag in gmsh.model.getPhysicalGroups(3)]
    if groups and not all_elements:
        entities = sorted({e for _, _, members in groups for e in members})
    else:
        entities = [int(tag) for _, tag in gmsh.model.getEntities(3)]

    blocks, owners, quadratic = [], [], False
    for entity in entities:
        types, _, node_tags = gmsh.model.mesh.getElements(3, entity)
        for kind, tags in zip(types, node_tags):
            if kind not in _GMSH_TETRA:
                name = gmsh.model.mesh.getElementProperties(kind)[0]
                raise ValueError(f"volume {entity} of the gmsh model has {name} elements; zandrel meshes are "
                                 "tetrahedral: mesh without recombination (tetrahedra only)")
            quadratic |= kind == 11
            block = np.asarray(tags, dtype=np.int64).reshape(-1, _GMSH_TETRA[kind])[:, :4]
            blocks.append(block)
            owners.append(np.full(len(block), entity))
    if not blocks or sum(len(b) for b in blocks) == 0:
        raise ValueError("the gmsh model has no tetrahedra: generate a 3D mesh first (gmsh.model.mesh.generate(3))")
    if quadratic:
        log.info("zandrel.Mesh.from_gmsh: 10-node tetrahedra reduced to their 4 corner nodes")
    tags = np.concatenate(blocks)
    owner = np.concatenate(owners)

    # gmsh numbers nodes by tags (1-based, possibly with gaps); keep the used
    # nodes in tag order and renumber them 0, 1, ...
    node_tags, coords, _ = gmsh.model.mesh.getNodes()
    node_tags = np.asarray(node_tags, dtype=np.int64)
    coords = np.asarray(coords, dtype=np.float64).reshape(-1, 3)
    used, elements = np.unique(tags, return_inverse=True)
    order = np.argsort(node_tags)
    position = order[np.searchsorted(node_tags, used, sorter=order)]
    nodes = coords[position]

    regions = {name: np.flatnonzero(np.isin(owner, members)) for _, name, members in groups}
    return Mesh(nodes, elements.reshape(-1, 4), regions, repair=repair)
