"""Meshes in and out: real files written by meshio and by the gmsh Python
API, round trips with identical data, and the refusals."""
import logging

import meshio
import numpy as np
import pytest

import zandrel


@pytest.fixture(scope="module")
def gmsh():
    try:
        import gmsh
    except (ImportError, OSError) as exc:  # OSError: the wheel's X11/OpenGL libraries are missing
        pytest.skip(f"the gmsh Python API cannot be imported here: {exc}")
    gmsh.initialize()
    gmsh.option.setNumber("General.Terminal", 0)
    gmsh.option.setNumber("Mesh.Binary", 1)  # exact coordinates in the files
    yield gmsh
    gmsh.finalize()


def two_boxes(gmsh, order=1):
    """Two unit cubes side by side (conforming at x = 1), physical volumes
    'magnet' and 'iron', a physical surface, meshed with tetrahedra."""
    gmsh.clear()
    magnet = gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    iron = gmsh.model.occ.addBox(1, 0, 0, 1, 1, 1)
    gmsh.model.occ.fragment([(3, magnet)], [(3, iron)])
    gmsh.model.occ.synchronize()
    gmsh.model.addPhysicalGroup(3, [magnet], name="magnet")
    gmsh.model.addPhysicalGroup(3, [iron], name="iron")
    gmsh.model.addPhysicalGroup(2, [1], name="end")
    gmsh.option.setNumber("Mesh.MeshSizeMax", 0.35)
    gmsh.model.mesh.generate(3)
    if order == 2:
        gmsh.model.mesh.setOrder(2)


@pytest.fixture
def model():
    magnet = zandrel.box_mesh(0.02, 2, region="magnet")
    iron = zandrel.cylinder_mesh(0.01, 0.02, 2, center=(0.04, 0.0, 0.0), region="iron")
    return magnet.merge(iron, zandrel.box_mesh(0.01, 1, center=(0.0, 0.05, 0.0)))  # + elements in no region


def assert_same_mesh(a, b):
    np.testing.assert_array_equal(a.nodes, b.nodes)
    np.testing.assert_array_equal(a.elements, b.elements)
    assert list(a.regions) == list(b.regions)
    for name in a.regions:
        np.testing.assert_array_equal(a.region(name), b.region(name))


@pytest.mark.parametrize("suffix, carries_data", [(".vtu", True), (".xdmf", True), (".msh", True), (".inp", False)])
def test_write_read_round_trip(tmp_path, model, suffix, carries_data):
    if suffix == ".xdmf":
        pytest.importorskip("h5py", reason=".xdmf output needs h5py (the xdmf extra)")
    path = tmp_path / f"model{suffix}"
    m = np.random.default_rng(1).normal(size=(model.n_elements, 3))
    model.write(path, cell_data={"M": m, "inside": np.arange(model.n_elements) % 2 == 0},
                point_data={"phi": model.nodes[:, 0]})
    back, cell_data, point_data = zandrel.Mesh.read(path, return_data=True)
    assert_same_mesh(back, model)
    if carries_data:
        np.testing.assert_array_equal(cell_data["M"], m)
        np.testing.assert_array_equal(point_data["phi"], model.nodes[:, 0])
        raw = meshio.read(path)  # and what any other meshio user sees
        np.testing.assert_array_equal(np.concatenate(raw.cell_data["region"]), model.region_index + 1)
        assert {name: int(v[0]) for name, v in raw.field_data.items()} == {"magnet": 1, "iron": 2}


def test_gmsh_model_and_files_agree(tmp_path, gmsh):
    two_boxes(gmsh)
    mesh = zandrel.Mesh.from_gmsh()
    assert list(mesh.regions) == ["magnet", "iron"]
    for name in ("magnet", "iron"):
        assert mesh.volumes[mesh.region(name)].sum() == pytest.approx(1.0, rel=1e-12)
    tags, coords, _ = gmsh.model.mesh.getNodes()
    types, _, node_tags = gmsh.model.mesh.getElements(3)
    assert mesh.n_elements == sum(len(t) for t in node_tags) // 4
    # Node tags mapped to indices: each element's corners are the gmsh coordinates of its tags.
    lookup = dict(zip(tags.tolist(), np.asarray(coords).reshape(-1, 3)))
    first = np.array([lookup[t] for t in np.asarray(node_tags[0][:4])])
    np.testing.assert_array_equal(np.sort(mesh.nodes[mesh.elements[0]], axis=0), np.sort(first, axis=0))
    for version in (2.2, 4.1):
        gmsh.option.setNumber("Mesh.MshFileVersion", version)
        path = tmp_path / f"boxes{version}.msh"
        gmsh.write(str(path))
        assert_same_mesh(zandrel.Mesh.read(path), mesh)


def test_gmsh_msh_to_vtu_with_field_reads_back_identically(tmp_path, gmsh):
    # The user's round trip: gmsh file -> Mesh -> a computed field -> .vtu -> meshio.
    two_boxes(gmsh)
    gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
    gmsh.write(str(tmp_path / "boxes.msh"))
    mesh = zandrel.Mesh.read(tmp_path / "boxes.msh")
    m = np.zeros((mesh.n_elements, 3))
    m[mesh.region("magnet")] = (0.0, 0.0, 1e6)
    b = zandrel.b_mag_tet4(*mesh, m, mesh.centroids)
    mesh.write(tmp_path / "result.vtu", cell_data={"M": m, "B": b})
    raw = meshio.read(tmp_path / "result.vtu")
    np.testing.assert_array_equal(raw.points, mesh.nodes)
    np.testing.assert_array_equal(raw.cells_dict["tetra"], mesh.elements)
    np.testing.assert_array_equal(raw.cell_data["B"][0], b)
    assert_same_mesh(zandrel.Mesh.read(tmp_path / "result.vtu"), mesh)


def test_quadratic_tetrahedra_keep_their_corners(tmp_path, gmsh, caplog):
    two_boxes(gmsh)
    linear = zandrel.Mesh.from_gmsh()
    two_boxes(gmsh, order=2)
    gmsh.write(str(tmp_path / "quadratic.msh"))
    with caplog.at_level(logging.INFO, logger="zandrel"):
        quadratic = zandrel.Mesh.from_gmsh()
        from_file = zandrel.Mesh.read(tmp_path / "quadratic.msh")
    assert "corner" in caplog.text
    np.testing.assert_array_equal(quadratic.elements, linear.elements)
    np.testing.assert_array_equal(quadratic.nodes, linear.nodes)
    np.testing.assert_array_equal(from_file.nodes[from_file.elements], linear.nodes[linear.elements])


def test_gmsh_without_volume_mesh_is_refused(gmsh):
    gmsh.clear()
    gmsh.model.occ.addRectangle(0, 0, 0, 1, 1)
    gmsh.model.occ.synchronize()
    gmsh.model.mesh.generate(2)
    with pytest.raises(ValueError, match="no tetrahedra"):
        zandrel.Mesh.from_gmsh()


def test_abaqus_element_sets_become_regions(tmp_path):
    mesh = zandrel.box_mesh(1.0, 2)
    half = np.arange(mesh.n_elements) < 20
    sets = {"ALL": [np.arange(mesh.n_elements)], "core": [np.flatnonzero(half)], "shell": [np.flatnonzero(~half)]}
    meshio.write(tmp_path / "part.inp", meshio.Mesh(mesh.nodes, [("tetra", mesh.elements)], cell_sets=sets))
    back = zandrel.Mesh.read(tmp_path / "part.inp")
    assert sorted(back.regions) == ["core", "shell"]  # the set of every element names the part, not a region
    np.testing.assert_array_equal(back.region("core"), np.flatnonzero(half))


def test_unnamed_region_ids_and_other_cells(tmp_path):
    mesh = zandrel.box_mesh(1.0, 2)
    ids = np.where(mesh.centroids[:, 0] < 0.0, 3, 7)
    triangles = mesh.boundary_faces()
    meshio.write(tmp_path / "ids.vtu", meshio.Mesh(mesh.nodes, [("triangle", triangles), ("tetra", mesh.elements)],
                                                     cell_data={"CellEntityIds": [np.zeros(len(triangles)), ids]}))
    back = zandrel.Mesh.read(tmp_path / "ids.vtu")  # triangles ignored, float ids accepted
    assert list(back.regions) == ["3", "7"]
    np.testing.assert_array_equal(back.region("7"), np.flatnonzero(ids == 7))


@pytest.mark.parametrize("cells, match", [
    ([("triangle", np.array([[0, 1, 2]]))], "no tetrahedra"),
    ([("tetra", np.array([[0, 1, 2, 3]])), ("hexahedron", np.arange(8)[None])], "other than tetrahedra"),
])
def test_files_without_tetrahedra_are_refused(tmp_path, cells, match):
    points = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 0], [1, 0, 1], [0, 1, 1], [1, 1, 1.0]])
    meshio.write(tmp_path / "bad.vtu", meshio.Mesh(points, cells))
    with pytest.raises(ValueError, match=match):
        zandrel.Mesh.read(tmp_path / "bad.vtu")


def test_bad_files_and_data(tmp_path, model):
    (tmp_path / "junk.vtu").write_text("not a mesh")
    with pytest.raises(ValueError, match="could not read"):
        zandrel.Mesh.read(tmp_path / "junk.vtu")
    with pytest.raises(FileNotFoundError):
        zandrel.Mesh.read(tmp_path / "missing.vtu")
    with pytest.raises(ValueError, match=r"cell_data\['M'\] must have %d rows" % model.n_elements):
        model.write(tmp_path / "x.vtu", cell_data={"M": np.zeros((3, 3))})
    with pytest.raises(ValueError, match="reserved"):
        model.write(tmp_path / "x.vtu", cell_data={"region": np.zeros(model.n_elements)})


def test_volumes_outside_physical_groups(tmp_path, gmsh):
    gmsh.clear()
    magnet = gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    gmsh.model.occ.addBox(2, 0, 0, 1, 1, 1)  # air or a part without a group
    gmsh.model.occ.synchronize()
    gmsh.model.addPhysicalGroup(3, [magnet], name="magnet")
    gmsh.option.setNumber("Mesh.MeshSizeMax", 0.5)
    gmsh.model.mesh.generate(3)
    grouped, every = zandrel.Mesh.from_gmsh(), zandrel.Mesh.from_gmsh(all_elements=True)
    assert grouped.n_elements == len(grouped.region("magnet")) < every.n_elements
    np.testing.assert_array_equal(every.region("magnet"), np.arange(grouped.n_elements))
    gmsh.option.setNumber("Mesh.SaveAll", 1)
    gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
    gmsh.write(str(tmp_path / "all.msh"))
    gmsh.option.setNumber("Mesh.SaveAll", 0)
    with pytest.raises(ValueError, match="SaveAll"):
        zandrel.Mesh.read(tmp_path / "all.msh")
