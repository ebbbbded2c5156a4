"""The command line, run as a user runs it: in a subprocess, in a scratch
folder, with real files in and out."""
import pathlib
import re
import subprocess
import sys

import meshio
import numpy as np
import pytest

import zandrel
from zandrel.problem import ProblemError, load_problem

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "magnet_plate" / "problem.toml"
FORCE = re.compile(r"force on .*\((maxwell| kelvin)\): \(([-+.\de]+), ([-+.\de]+), ([-+.\de]+)\) N")


def run(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "zandrel", *arguments], cwd=cwd, capture_output=True, text=True,
                          timeout=600)


def forces(stdout):
    found = {m.group(1).strip(): np.array([float(m.group(k)) for k in (2, 3, 4)]) for m in FORCE.finditer(stdout)}
    assert set(found) == {"maxwell", "kelvin"}, stdout
    return found


def test_default_device(tmp_path):
    done = run("--cell", "5", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "gap field" in done.stdout and "total time" in done.stdout
    found = forces(done.stdout)
    assert 40.0 < found["kelvin"][2] < 80.0  # N: the keeper is pulled up
    np.testing.assert_allclose(found["maxwell"], found["kelvin"], rtol=0, atol=0.01 * found["kelvin"][2])
    data = meshio.read(tmp_path / "result.vtu")
    assert {"M", "H", "B", "region", "material"} <= set(data.cell_data)
    assert (tmp_path / "result.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_problem_file(tmp_path):
    magnet = zandrel.box_mesh(10.0, 2, center=(0, 0, 6.0), region="magnet")  # in mm, as the file says
    plate = zandrel.box_mesh((30.0, 30.0, 5.0), (4, 4, 1), center=(0, 0, -2.5), region="plate")
    magnet.merge(plate).write(tmp_path / "model.vtu")
    (tmp_path / "problem.toml").write_text("""
[mesh]
files = ["model.vtu"]
unit = "mm"
[materials]
magnet = { type = "magnet", polarization = [0, 0, 1.2] }
plate = { type = "linear", chi = 500 }
[output]
vtu = "out.vtu"
forces = [{ region = "plate" }]
points = [{ points = [[0, 0, 0.5]] }]
lines = [{ start = [0, 0, -5], end = [0, 0, 15], n = 21, csv = "axis.csv" }]
planes = [{ center = [0, 0.3, 0], size = [40, 20], shape = [21, 11], vti = "slice.vti" }]
""")
    done = run("solve", "problem.toml", "--output-dir", "results", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    found = forces(done.stdout)
    assert found["kelvin"][2] > 1.0  # N: the plate is pulled up, toward the magnet
    np.testing.assert_allclose(found["maxwell"], found["kelvin"], rtol=0, atol=0.01 * found["kelvin"][2])
    assert re.search(r"at \[0.0, 0.0, 0.0005\] m: B = \([-+.\d]+, [-+.\d]+, \+0\.\d+\) T", done.stdout)
    axis = np.loadtxt(tmp_path / "results" / "axis.csv", delimiter=",", skiprows=1)
    assert axis.shape == (21, 6) and np.allclose(axis[:, 2], np.linspace(-5e-3, 15e-3, 21))
    assert (tmp_path / "results" / "slice.vti").read_bytes().startswith(b'<?xml version="1.0"?>')
    assert meshio.read(tmp_path / "results" / "out.vtu").cell_data["B"][0].shape == (magnet.n_elements
                                                                                     + plate.n_elements, 3)


def test_shipped_example_and_bad_problem_files(tmp_path):
    mesh, materials, applied, options, plan = load_problem(EXAMPLE)
    assert set(mesh.regions) == {"magnet", "plate"} and mesh.bounds[1][2] == pytest.approx(7e-3)
    assert {kind for kind, _ in plan} == {"vtu", "residuals_png", "force", "points", "line", "plane"}
    (tmp_path / "bad.toml").write_text(EXAMPLE.read_text().replace('type = "steel"', 'type = "stele"')
                                       .replace('"magnet_plate.msh"', repr(str(EXAMPLE.parent / "magnet_plate.msh"))))
    done = run("solve", "bad.toml", cwd=tmp_path)
    assert done.returncode == 2 and "[materials.plate]: unknown type 'stele'" in done.stderr


@pytest.mark.parametrize("edit, match", [
    (("unit = \"mm\"", "unit = \"inch\""), r"\[mesh\].unit must be one of"),
    (("plate = { type", "slab = { type"), r"without material: \['plate'\]; not in the mesh: \['slab'\]"),
    (("recoil = 0.05", "recoil = 0.05, remanence = 1"), r"unknown key\(s\) \['remanence'\]"),
    (("H = [0.0, 0.0, 0.0]", "H = [0.0, 0.0]"), r"\[applied\].H must be a list of 3 numbers"),
    (("tol = 1e-6", "tol = \"small\""), r"\[solve\].tol must be a number"),
    (("method = \"both\"", "method = \"virtual\""), r"method must be 'maxwell', 'kelvin' or 'both'"),
])
def test_problem_errors_name_the_key(tmp_path, edit, match):
    text = EXAMPLE.read_text().replace(*edit).replace('"magnet_plate.msh"',
                                                     repr(str(EXAMPLE.parent / "magnet_plate.msh")))
    (tmp_path / "problem.toml").write_text(text)
    with pytest.raises(ProblemError, match=match):
        load_problem(tmp_path / "problem.toml")


def test_validation_and_help(tmp_path):
    done = run("validate", "--elements", "200", "--chi", "2", "--solvers", "direct", cwd=tmp_path)
    assert done.returncode == 0 and "rel. error" in done.stdout
    listing = run("--help", cwd=tmp_path)
    assert listing.returncode == 0 and all(word in listing.stdout for word in ("device", "solve", "validate"))
    script = pathlib.Path(sys.executable).with_name("zandrel")
    if script.exists():  # the console script of an installed wheel
        assert subprocess.run([str(script), "--help"], capture_output=True, text=True).returncode == 0
