"""Grids of target points and their files: .vti read back by a VTK XML
parse written here, .vtu by meshio, with identical data."""
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest

import zandrel
from zandrel import grid

VTK = {"Float64": "<f8", "Float32": "<f4", "Int32": "<i4", "Int64": "<i8", "UInt8": "u1"}


def read_vti(path):
    """Points (P, 3) in the image's order (x fastest) and {name: (P, k)}
    arrays of a VTK XML image with raw appended data and UInt64 headers."""
    raw = path.read_bytes()
    head, _, rest = raw.partition(b'<AppendedData encoding="raw">')
    blob = rest[rest.index(b"_") + 1:]
    root = ET.fromstring(head + b"</VTKFile>")
    assert root.get("type") == "ImageData" and root.get("header_type") == "UInt64"
    image = root.find("ImageData")
    extent = np.array(image.get("WholeExtent").split(), dtype=int).reshape(3, 2)
    dims = extent[:, 1] - extent[:, 0] + 1
    origin = np.array(image.get("Origin").split(), dtype=float)
    spacing = np.array(image.get("Spacing").split(), dtype=float)
    direction = np.array((image.get("Direction") or "1 0 0 0 1 0 0 0 1").split(), dtype=float).reshape(3, 3)
    k, j, i = np.meshgrid(*(np.arange(n) for n in dims[::-1]), indexing="ij")
    index = np.stack([i.ravel(), j.ravel(), k.ravel()], axis=1)
    points = origin + (index * spacing) @ direction.T
    data = {}
    for array in image.find("Piece/PointData"):
        offset = int(array.get("offset"))
        size = int(np.frombuffer(blob[offset:offset + 8], dtype="<u8")[0])
        values = np.frombuffer(blob[offset + 8:offset + 8 + size], dtype=VTK[array.get("type")])
        data[array.get("Name")] = values.reshape(len(points), int(array.get("NumberOfComponents")))
    return points, data


GRIDS = {
    "line along x": lambda: grid.line((0.0, 0.1, 0.2), (1.0, 0.1, 0.2), 11),
    "line backwards": lambda: grid.line((0.0, 0.0, 1.0), (0.0, 0.0, -1.0), 7),
    "oblique line": lambda: grid.line((0.0, 0.0, 0.0), (0.3, -0.2, 0.1), 5),
    "xz plane": lambda: grid.plane((0.04, 0.02), (9, 5), center=(0.0, 0.01, 0.0), normal=(0.0, 1.0, 0.0)),
    "oblique plane": lambda: grid.plane(0.1, (4, 6), normal=(1.0, 1.0, 2.0)),
    "box": lambda: grid.box((0.02, 0.03, 0.01), (5, 4, 3), center=(0.0, 0.0, 0.01)),
    "flat box": lambda: grid.box(0.02, (5, 1, 3)),
}


@pytest.mark.parametrize("name", GRIDS)
def test_vti_and_vtu_round_trips(tmp_path, name):
    g = GRIDS[name]()
    points = g.points
    field = np.column_stack([np.sin(points[:, 0] * 50), points[:, 1] ** 2, points[:, 2] - 1.0])
    count = np.arange(len(points), dtype=np.int32)
    g.write(tmp_path / "g.vti", {"H": field.reshape(g.shape + (3,)), "count": count, "mask": count % 2 == 0})
    read_points, data = read_vti(tmp_path / "g.vti")
    # Match every image point to a grid point, then the values must be the same bits.
    order = np.lexsort(np.round(points, 12).T)
    read_order = np.lexsort(np.round(read_points, 12).T)
    np.testing.assert_allclose(read_points[read_order], points[order], rtol=0, atol=1e-15)
    np.testing.assert_array_equal(data["H"][read_order], field[order])
    np.testing.assert_array_equal(data["count"][read_order, 0], count[order])
    np.testing.assert_array_equal(data["mask"][read_order, 0], count[order] % 2 == 0)

    g.write(tmp_path / "g.vtu", {"H": field})
    back = meshio.read(tmp_path / "g.vtu")
    np.testing.assert_array_equal(back.points, points)
    np.testing.assert_array_equal(back.point_data["H"], field)
    assert back.cells[0].type == {1: "line", 2: "quad", 3: "hexahedron"}[sum(n > 1 for n in g.shape)]


def test_grids_are_targets_in_their_shape(rng):
    mesh = zandrel.box_mesh(0.01, 2)
    g = grid.plane(0.03, (6, 4), center=(0.0, 0.0, 0.01))
    assert g.shape == (6, 4) and len(g) == 24
    b = zandrel.b_mag_tet4(*mesh, (0.0, 0.0, 1e6), g)
    assert b.shape == (6, 4, 3)
    np.testing.assert_array_equal(b.reshape(-1, 3), zandrel.b_mag_tet4(*mesh, (0.0, 0.0, 1e6), g.points))
    # The plane's corners and spacing: a 3 cm square at z = 1 cm, u = x, v = y.
    np.testing.assert_allclose(g.points[[0, -1]], [[-0.015, -0.015, 0.01], [0.015, 0.015, 0.01]], atol=1e-17)
    line = grid.line((0, 0, 0), (1, 2, 3), 4)
    np.testing.assert_allclose(line.points, np.outer(np.arange(4) / 3, [1, 2, 3]), rtol=1e-15)


def test_scattered_points(tmp_path, rng):
    points = rng.normal(size=(20, 3))
    grid.write_points(tmp_path / "p.vtu", points, {"B": points * 2})
    back = meshio.read(tmp_path / "p.vtu")
    np.testing.assert_array_equal(back.points, points)
    np.testing.assert_array_equal(back.point_data["B"], points * 2)


@pytest.mark.parametrize("call, match", [
    (lambda: grid.line((0, 0, 0), (0, 0, 0), 5), "start and end must differ"),
    (lambda: grid.line((0, 0, 0), (1, 0, 0), 1), "n must be at least 2"),
    (lambda: grid.plane(1.0, (3, 3), normal=(0, 0, 0)), "normal must be a non-zero"),
    (lambda: grid.box(-1.0, 3), "size must be"),
    (lambda: grid.Grid((0, 0, 0), [(1, 0, 0), (1, 1, 0)], (2, 2)), "orthogonal"),
    (lambda: grid.box(1.0, 3).write("x.vti", {"H": np.zeros((5, 3))}), r"one row per grid point \(27"),
])
def test_bad_grids(call, match):
    with pytest.raises(ValueError, match=match):
        call()
