"""Models described by a TOML problem file, run without writing Python:
``python -m zandrel solve problem.toml``.

The file names the mesh file(s), the material of each region, the applied
field, the solver settings and what to report and write::

    [mesh]
    files = ["magnet_plate.msh"]      # read by zandrel.Mesh.read, merged
    unit = "mm"                       # of every length in the mesh files and below

    [materials]
    magnet = { type = "magnet", polarization = [0, 0, 1.2], recoil = 0.05 }
    plate = { type = "steel" }

    [applied]                         # optional: H in A/m or B in T, uniform
    H = [0, 0, 0]

    [solve]                           # optional
    tol = 1e-6

    [output]
    vtu = "result.vtu"
    forces = [{ region = "plate", method = "both" }]

See the README ("Problem files") for every key. Relative mesh paths are
taken from the problem file's folder, output paths from the working
directory (or ``--output-dir``).
"""
import logging
import os
import sys
import time

import numpy as np

from zandrel.constants import MU0

__all__ = ["ProblemError", "load_problem", "run_problem"]

log = logging.getLogger("zandrel")

_UNITS = {"m": 1.0, "cm": 1e-2, "mm": 1e-3, "um": 1e-6, "µm": 1e-6}
_SECTIONS = {"mesh", "materials", "applied", "solve", "output"}
_MATERIAL_KEYS = {
    "linear": {"chi", "axes"},
    "magnet": {"polarization", "magnetization", "recoil", "axes"},
    "nonlinear": {"H", "B"},
    "steel": set(),
}
_SOLVE_KEYS = {"tol", "accuracy", "maxiter", "threads", "restart"}
_OUTPUT_KEYS = {"vtu", "xdmf", "residuals_png", "forces", "points", "lines", "planes"}


class ProblemError(ValueError):
    """A problem file that cannot be run; the message names the file, the
    table and the key."""


def _toml():
    try:
        import tomllib
    except ImportError:  # Python < 3.11
        try:
            import tomli as tomllib
        except ImportError as exc:
            raise ImportError(f"reading problem files needs tomli on Python < 3.11: pip install tomli ({exc})") \
                from None
    return tomllib


class _Reader:
    """Typed access to one table of the problem file, with errors that say where."""

    def __init__(self, table, where, known):
        if not isinstance(table, dict):
            raise ProblemError(f"{where} must be a table, got {type(table).__name__}")
        unknown = sorted(set(table) - set(known))
        if unknown:
            raise ProblemError(f"{where}: unknown key(s) {unknown}; known keys: {sorted(known)}")
        self.table, self.where = table, where

    def has(self, key):
        return key in self.table

    def get(self, key, default=None, kind=None):
        if key not in self.table:
            if default is _REQUIRED:
                raise ProblemError(f"{self.where}: missing key {key!r}")
            return np.asarray(default, dtype=np.float64) if kind == "vector" and default is not None else default
        value = self.table[key]
        if kind == "number" and (isinstance(value, bool) or not isinstance(value, (int, float))):
            raise ProblemError(f"{self.where}.{key} must be a number, got {value!r}")
        if kind == "int" and (isinstance(value, bool) or not isinstance(value, int)):
            raise ProblemError(f"{self.where}.{key} must be an integer, got {value!r}")
        if kind == "str" and not isinstance(value, str):
            raise ProblemError(f"{self.where}.{key} must be a string, got {value!r}")
        if kind == "vector":
            return _vector(value, f"{self.where}.{key}")
        if kind == "list" and not isinstance(value, list):
            raise ProblemError(f"{self.where}.{key} must be a list, got {value!r}")
        return value


_REQUIRED = object()


def _vector(value, where, count=3):
    array = np.asarray(value, dtype=object)
    if array.shape != (count,) or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value):
        raise ProblemError(f"{where} must be a list of {count} numbers, got {value!r}")
    return np.asarray(value, dtype=np.float64)


def _numbers(value, where):
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ProblemError(f"{where} must hold numbers, got {value!r}") from None
    return array


def _material(name, section):
    from zandrel.catalogue import soft_steel
    from zandrel.materials import LinearMaterial, NonlinearMaterial, PermanentMagnet

    where = f"[materials.{name}]"
    if not isinstance(section, dict) or "type" not in section:
        raise ProblemError(f"{where} must be a table with a type ({', '.join(sorted(_MATERIAL_KEYS))})")
    kind = section["type"]
    if kind not in _MATERIAL_KEYS:
        raise ProblemError(f"{where}: unknown type {kind!r}; use one of {sorted(_MATERIAL_KEYS)}")
    table = _Reader(section, where, _MATERIAL_KEYS[kind] | {"type"})
    try:
        if kind == "linear":
            return LinearMaterial(_numbers(table.get("chi", _REQUIRED), f"{where}.chi"), axes=table.get("axes"))
        if kind == "magnet":
            polarization = table.get("polarization", kind="vector")
            magnetization = table.get("magnetization", kind="vector")
            return PermanentMagnet(polarization, magnetization=magnetization,
                                   recoil=_numbers(table.get("recoil", 0.0), f"{where}.recoil"), axes=table.get("axes"))
        if kind == "nonlinear":
            return NonlinearMaterial(H=_numbers(table.get("H", _REQUIRED), f"{where}.H"),
                                     B=_numbers(table.get("B", _REQUIRED), f"{where}.B"))
        return soft_steel()
    except (TypeError, ValueError) as exc:
        if isinstance(exc, ProblemError):
            raise
        raise ProblemError(f"{where}: {exc}") from None


def load_problem(path):
    """Read and check a problem file: ``(mesh, materials, applied, solve
    options, outputs)`` (lengths in m). Raises :class:`ProblemError` for
    anything that would stop the run, before any solving."""
    from zandrel.mesh import Mesh

    path = os.fspath(path)
    try:
        with open(path, "rb") as stream:
            data = _toml().load(stream)
    except FileNotFoundError:
        raise ProblemError(f"no problem file {path!r}") from None
    except Exception as exc:  # tomllib.TOMLDecodeError (tomli has its own class)
        if type(exc).__name__ != "TOMLDecodeError":
            raise
        raise ProblemError(f"{path} is not valid TOML: {exc}") from None
    unknown = sorted(set(data) - _SECTIONS)
    if unknown:
        raise ProblemError(f"{path}: unknown table(s) {unknown}; a problem file has {sorted(_SECTIONS)}")
    for section in ("mesh", "materials"):
        if section not in data:
            raise ProblemError(f"{path}: missing table [{section}]")

    mesh_table = _Reader(data["mesh"], "[mesh]", {"files", "unit"})
    unit = mesh_table.get("unit", "m")
    if isinstance(unit, str):
        if unit not in _UNITS:
            raise ProblemError(f"[mesh].unit must be one of {sorted(_UNITS)} or a number of metres, got {unit!r}")
        unit = _UNITS[unit]
    elif isinstance(unit, bool) or not isinstance(unit, (int, float)) or not unit > 0:
        raise ProblemError(f"[mesh].unit must be one of {sorted(_UNITS)} or a positive number of metres, got {unit!r}")
    files = mesh_table.get("files", _REQUIRED)
    files = [files] if isinstance(files, str) else files
    if not isinstance(files, list) or not files or not all(isinstance(f, str) for f in files):
        raise ProblemError("[mesh].files must be a file name or a list of file names")
    folder = os.path.dirname(os.path.abspath(path))
    meshes = []
    for name in files:
        file = name if os.path.isabs(name) else os.path.join(folder, name)
        try:
            meshes.append(Mesh.read(file).scaled(float(unit)))
        except (OSError, ValueError) as exc:
            raise ProblemError(f"[mesh].files: {name}: {exc}") from None
    mesh = meshes[0].merge(*meshes[1:]) if len(meshes) > 1 else meshes[0]
    if not mesh.regions:
        raise ProblemError(f"the mesh of {path} has no regions (physical groups): name its volumes so that "
                           "[materials] can assign them")

    materials = data["materials"]
    if not isinstance(materials, dict) or not materials:
        raise ProblemError("[materials] must map region names to material tables")
    missing = sorted(set(mesh.regions) - set(materials))
    extra = sorted(set(materials) - set(mesh.regions))
    if missing or extra:
        raise ProblemError(f"[materials] must name every region of the mesh once: regions {sorted(mesh.regions)}"
                           + (f"; without material: {missing}" if missing else "")
                           + (f"; not in the mesh: {extra}" if extra else ""))
    materials = {name: _material(name, section) for name, section in materials.items()}

    applied = None
    if "applied" in data:
        table = _Reader(data["applied"], "[applied]", {"H", "B"})
        if table.has("H") and table.has("B"):
            raise ProblemError("[applied]: give H (A/m) or B (T), not both")
        if table.has("H"):
            applied = table.get("H", kind="vector")
        elif table.has("B"):
            applied = table.get("B", kind="vector") / MU0

    solve_table = _Reader(data.get("solve", {}), "[solve]", _SOLVE_KEYS)
    options = {}
    for key, kind in (("tol", "number"), ("accuracy", "number"), ("maxiter", "int"), ("threads", "int"),
                      ("restart", "int")):
        if solve_table.has(key):
            options[key] = solve_table.get(key, kind=kind)
    output = _output_plan(data.get("output", {}), float(unit))
    return mesh, materials, applied, options, output


def _tables(output, key):
    entries = output.get(key, [])
    if isinstance(entries, dict):
        entries = [entries]
    if not isinstance(entries, list):
        raise ProblemError(f"[output].{key} must be a list of tables ([[output.{key}]])")
    return [(f"[output].{key}[{k}]", entry) for k, entry in enumerate(entries)]


def _output_plan(output, unit):
    """The outputs as a checked list of (kind, settings), lengths in m."""
    table = _Reader(output, "[output]", _OUTPUT_KEYS)
    plan = [(key, table.get(key, kind="str")) for key in ("vtu", "xdmf", "residuals_png") if table.has(key)]
    for where, section in _tables(output, "forces"):
        entry = _Reader(section, where, {"region", "method", "about"})
        method = entry.get("method", "both", kind="str")
        if method not in ("maxwell", "kelvin", "both"):
            raise ProblemError(f"{where}.method must be 'maxwell', 'kelvin' or 'both', got {method!r}")
        plan.append(("force", dict(region=entry.get("region", _REQUIRED, kind="str"), method=method,
                                   about=entry.get("about", [0.0, 0.0, 0.0], kind="vector") * unit)))
    for where, section in _tables(output, "points"):
        entry = _Reader(section, where, {"points", "csv"})
        points = _numbers(entry.get("points", _REQUIRED), f"{where}.points")
        if points.size == 0 or points.size % 3:
            raise ProblemError(f"{where}.points must be a list of [x, y, z] points")
        plan.append(("points", dict(points=points.reshape(-1, 3) * unit, csv=entry.get("csv", kind="str"))))
    for where, section in _tables(output, "lines"):
        entry = _Reader(section, where, {"start", "end", "n", "csv", "png"})
        plan.append(("line", dict(start=entry.get("start", _REQUIRED, kind="vector") * unit,
                                  end=entry.get("end", _REQUIRED, kind="vector") * unit,
                                  n=entry.get("n", 201, kind="int"), csv=entry.get("csv", kind="str"),
                                  png=entry.get("png", kind="str"))))
    for where, section in _tables(output, "planes"):
        entry = _Reader(section, where, {"center", "normal", "size", "shape", "vti", "png"})
        size = _numbers(entry.get("size", _REQUIRED), f"{where}.size")
        if size.shape not in ((), (2,)) or not np.all(size > 0):
            raise ProblemError(f"{where}.size must be a positive length or two")
        plan.append(("plane", dict(center=entry.get("center", _REQUIRED, kind="vector") * unit,
                                   normal=entry.get("normal", [0.0, -1.0, 0.0], kind="vector"),
                                   size=size * unit, shape=entry.get("shape", [101, 101]),
                                   vti=entry.get("vti", kind="str"), png=entry.get("png", kind="str"))))
    return plan


def _write_csv(path, columns, header):
    np.savetxt(path, np.column_stack(columns), delimiter=",", header=",".join(header), comments="")


def run_problem(path, output_dir=".", out=print):
    """Load, solve and report a problem file (see the module notes).
    Returns the Solution."""
    from zandrel import grid as zgrid
    from zandrel import plot
    from zandrel.solve import solve

    mesh, materials, applied, options, plan = load_problem(path)
    out(f"{path}: {mesh.n_elements} tetrahedra, regions {list(mesh.regions)}")
    start = time.perf_counter()
    solution = solve(mesh, materials, applied, **options)
    out(f"solved in {time.perf_counter() - start:.1f} s: {solution.iterations} operator applications, "
        f"relative residual {solution.residual:.1e}" + ("" if solution.converged else " (NOT converged)"))
    os.makedirs(output_dir, exist_ok=True)

    def write(name, action):
        if name:
            action(os.path.join(output_dir, name))
            out(f"wrote {name}")

    for kind, item in plan:
        if kind in ("vtu", "xdmf"):
            write(item, solution.write)
        elif kind == "residuals_png":
            write(item, lambda p: plot.residuals(solution, path=p))
        elif kind == "force":
            methods = ("maxwell", "kelvin") if item["method"] == "both" else (item["method"],)
            for method in methods:
                try:
                    force, torque = solution.force(item["region"], item["about"], method=method)
                except (KeyError, ValueError) as exc:
                    out(f"force on {item['region']} ({method}): not computed: {exc}")
                    continue
                out(f"force on {item['region']} ({method:>7}): ({force[0]:+.4g}, {force[1]:+.4g}, {force[2]:+.4g}) N, "
                    f"torque ({torque[0]:+.4g}, {torque[1]:+.4g}, {torque[2]:+.4g}) N m")
        elif kind == "points":
            points = item["points"]
            B, H = solution.flux_density(points), solution.field(points)
            for p, b, h in zip(points, B, H):
                out(f"at {np.round(p, 9).tolist()} m: B = ({b[0]:+.4f}, {b[1]:+.4f}, {b[2]:+.4f}) T, "
                    f"H = ({h[0]:+.4g}, {h[1]:+.4g}, {h[2]:+.4g}) A/m")
            write(item["csv"], lambda p: _write_csv(p, [points, B, H], ["x", "y", "z", "Bx", "By", "Bz", "Hx", "Hy",
                                                                         "Hz"]))
        elif kind == "line":
            line = zgrid.line(item["start"], item["end"], item["n"])
            write(item["csv"], lambda p: _write_csv(p, [line.points, solution.flux_density(line)],
                                                    ["x", "y", "z", "Bx", "By", "Bz"]))
            write(item["png"], lambda p: plot.field_line(solution, item["start"], item["end"], item["n"], path=p))
        elif kind == "plane":
            plane = zgrid.plane(item["size"], item["shape"], item["center"], item["normal"])
            write(item["vti"], lambda p: plane.write(p, {"B": solution.flux_density(plane),
                                                         "H": solution.field(plane)}))
            write(item["png"], lambda p: plot.field_slice(solution, center=item["center"], normal=item["normal"],
                                                          size=item["size"], shape=item["shape"], path=p))
    return solution


def add_arguments(parser):
    parser.add_argument("problem", help="the problem file (TOML)")
    parser.add_argument("--output-dir", default=".", help="folder for the output files (default: the working "
                        "directory)")


def main(args):
    try:
        run_problem(args.problem, args.output_dir)
    except ProblemError as exc:
        print(f"zandrel solve: {exc}", file=sys.stderr)
        return 2
    return 0
