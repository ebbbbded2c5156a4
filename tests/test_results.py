"""Results out: a gmsh-made model solved and written for ParaView, read back
by meshio with identical data; plots drawn by matplotlib's Agg backend."""
import meshio
import numpy as np
import pytest

import zandrel
from test_mesh_io import gmsh, two_boxes  # noqa: F401 (the gmsh fixture)


@pytest.mark.parametrize("suffix", [".vtu", ".xdmf"])
def test_gmsh_file_to_solution_to_file_round_trip(tmp_path, gmsh, suffix):  # noqa: F811
    two_boxes(gmsh)
    gmsh.write(str(tmp_path / "model.msh"))
    mesh = zandrel.Mesh.read(tmp_path / "model.msh")
    assert list(mesh.regions) == ["magnet", "iron"]
    magnet = zandrel.PermanentMagnet(polarization=(1.2, 0.0, 0.0), recoil=0.05)
    sol = zandrel.solve(mesh, {"magnet": magnet, "iron": zandrel.LinearMaterial(chi=500.0)})
    assert sol.converged
    sol.write(tmp_path / f"result{suffix}")

    data = meshio.read(tmp_path / f"result{suffix}")
    np.testing.assert_array_equal(data.points, mesh.nodes)
    np.testing.assert_array_equal(data.cells_dict["tetra"], mesh.elements)
    for name, expected in (("M", sol.M), ("H", sol.H), ("B", sol.B), ("region", mesh.region_index + 1),
                           ("material", sol.materials.index + 1)):
        np.testing.assert_array_equal(data.cell_data[name][0], expected)
    names = {name: value.tolist() for name, value in data.field_data.items()}
    assert names["magnet"] == [1, 3] and names["iron"] == [2, 3]
    assert [f"material {k}: {label}" for k, label in ((1, "magnet"), (2, "iron"))] == \
        [name.split(": ")[0] + ": " + name.split(": ")[1] for name in names if name.startswith("material")]
    again = zandrel.Mesh.read(tmp_path / f"result{suffix}")  # material names are not taken for regions
    assert list(again.regions) == ["magnet", "iron"]


@pytest.fixture(scope="module")
def clamp():
    from zandrel.device import clamp_model
    meshes, materials = clamp_model(cell=5e-3)
    return zandrel.solve(meshes, materials)


@pytest.mark.parametrize("draw", ["slice", "line", "residuals"])
def test_plots_are_drawn(tmp_path, clamp, draw):
    pytest.importorskip("matplotlib")
    import matplotlib.image
    path = tmp_path / f"{draw}.png"
    if draw == "slice":
        figure = zandrel.plot.field_slice(clamp, center=(0, 1e-3, 0.003), size=0.04, shape=41, path=path)
        assert len(figure.axes[0].collections[-1].get_segments()) > 20  # the bodies' outlines
    elif draw == "line":
        figure = zandrel.plot.field_line(clamp, (0.008, 0.001, -0.01), (0.008, 0.001, 0.01), 51, path=path)
        np.testing.assert_allclose(figure.axes[0].lines[2].get_ydata(),
                                   clamp.flux_density(zandrel.grid.line((0.008, 0.001, -0.01),
                                                                        (0.008, 0.001, 0.01), 51))[:, 2])
    else:
        figure = zandrel.plot.residuals(clamp, path=path)
        np.testing.assert_array_equal(figure.axes[0].lines[0].get_ydata(), clamp.residuals)
    image = matplotlib.image.imread(path)
    assert image.shape[0] > 300 and image[..., :3].std() > 0.05  # a picture, not a blank canvas
