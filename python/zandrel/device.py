"""The default model of ``python -m zandrel``: a permanent-magnet clamp.

An NdFeB block (10 x 20 x 10 mm, polarised 1.25 T along x, recoil
susceptibility 0.05) sits between two soft-steel pole shoes (6 x 20 x 15 mm
each, the B–H curve of :func:`zandrel.soft_steel`), which reach 5 mm below
the magnet. A steel keeper (30 x 20 x 6 mm) hangs under the pole shoes
across an air gap (1 mm by default). The flux leaves the magnet through one
pole shoe, crosses the gap into the keeper, runs along it and returns
through the other gap and pole shoe: the keeper is pulled up. Everything is
meshed here with :func:`zandrel.box_mesh` (the bodies touch face to face;
their meshes need not match), solved with saturating steel, and the force
on the keeper computed both ways.

Coordinates: x along the magnetisation, y along the clamp's length, z up;
the pole faces are at z = 0, the keeper's top at z = -gap.
"""
import logging
import time

import numpy as np

from zandrel import plot
from zandrel.catalogue import soft_steel
from zandrel.materials import PermanentMagnet
from zandrel.meshers import box_mesh
from zandrel.solve import solve

__all__ = ["clamp_model", "run_clamp"]

log = logging.getLogger("zandrel")
MM = 1e-3


def clamp_model(gap=1.0 * MM, cell=2.5 * MM):
    """Meshes and materials of the clamp.

    Parameters
    ----------
    gap : float
        Air gap between pole faces and keeper in m.
    cell : float
        Edge of the mesher's cells in m (six tetrahedra per cell); 2.5 mm
        gives about 3,000 elements.

    Returns
    -------
    meshes : list of zandrel.Mesh
        Magnet, pole shoes and keeper (regions "magnet", "pole shoes",
        "keeper").
    materials : dict
        Region name -> material.
    """
    def block(size, center, region):
        divisions = [max(1, int(round(s / cell))) for s in size]
        return box_mesh(size, divisions, center, region=region)

    meshes = [block((10 * MM, 20 * MM, 10 * MM), (0.0, 0.0, 10 * MM), "magnet"),
              block((6 * MM, 20 * MM, 15 * MM), (-8 * MM, 0.0, 7.5 * MM), "pole shoes"),
              block((6 * MM, 20 * MM, 15 * MM), (8 * MM, 0.0, 7.5 * MM), "pole shoes"),
              block((30 * MM, 20 * MM, 6 * MM), (0.0, 0.0, -gap - 3 * MM), "keeper")]
    steel = soft_steel()
    materials = {"magnet": PermanentMagnet(polarization=(1.25, 0.0, 0.0), recoil=0.05),
                 "pole shoes": steel, "keeper": steel}
    return meshes, materials


def run_clamp(gap=1.0 * MM, cell=2.5 * MM, tol=1e-6, vtu="result.vtu", png="result.png", out=print):
    """Solve the clamp, report gap field and keeper force, write the files.

    Returns a dict of the figures it printed (for tests and scripts).
    """
    start = time.perf_counter()
    meshes, materials = clamp_model(gap, cell)
    solution = solve(meshes, materials, tol=tol)
    solved = time.perf_counter()
    mesh = solution.mesh
    out(f"permanent-magnet clamp: NdFeB 1.25 T between soft-steel pole shoes, steel keeper {gap / MM:g} mm "
        f"below; {mesh.n_elements} tetrahedra")
    out(f"solved in {solved - start:.1f} s: {solution.iterations} operator applications, "
        f"{solution.newton_steps} Newton steps, relative residual {solution.residual:.1e}"
        + ("" if solution.converged else " (NOT converged)"))

    # The gap field under the middle of each pole face, and its mean over
    # the pole faces (half-way across the gap).
    z = -0.5 * gap
    probes = np.array([[-8 * MM, 0.0, z], [8 * MM, 0.0, z]])
    b_probe = solution.flux_density(probes)
    face = np.stack(np.meshgrid(np.linspace(-10.5, -5.5, 11) * MM, np.linspace(-9.5, 9.5, 39) * MM,
                                indexing="ij"), axis=-1).reshape(-1, 2)
    b_face = solution.flux_density(np.column_stack([face, np.full(len(face), z)]))[:, 2]
    out(f"gap field Bz under the pole shoes (mid-gap, centre): {b_probe[0, 2]:+.3f} T and {b_probe[1, 2]:+.3f} T; "
        f"mean over a pole face {np.mean(np.abs(b_face)):.3f} T")
    steel_b = np.linalg.norm(solution.B[mesh.region("pole shoes")], axis=1)
    out(f"pole shoes: median |B| {np.median(steel_b):.2f} T, 95th percentile {np.percentile(steel_b, 95):.2f} T "
        "(the steel's knee is near 1.4 T)")

    results = {"elements": mesh.n_elements, "gap_field": b_probe, "iterations": solution.iterations}
    for method in ("maxwell", "kelvin"):
        t = time.perf_counter()
        force, _ = solution.force("keeper", method=method)
        results[method] = force
        out(f"force on the keeper ({method:>7}): ({force[0]:+.3f}, {force[1]:+.3f}, {force[2]:+.3f}) N "
            f"[{time.perf_counter() - t:.1f} s]")
    difference = abs(results["maxwell"][2] - results["kelvin"][2]) / abs(results["kelvin"][2])
    out(f"the two routes differ by {difference:.1e} (relative, z)")
    if vtu:
        solution.write(vtu)
        out(f"wrote {vtu} (cell data M, H, B, region, material; open it in ParaView)")
    if png:
        # Half a cell off the mid-plane y = 0, which holds element edges.
        y = 0.5 * cell
        try:
            plot.field_slice(solution, center=(0.0, y, 4 * MM - 0.5 * gap), size=(46 * MM, 32 * MM), path=png,
                             title=f"Clamp: |B| and flux direction at y = {y / MM:g} mm ({gap / MM:g} mm gap)")
            out(f"wrote {png} (|B| near the mid-plane with flux arrows)")
        except ImportError as exc:
            out(f"no {png}: {exc}")
    results["seconds"] = time.perf_counter() - start
    out(f"total time {results['seconds']:.1f} s")
    return results


DESCRIPTION = ("Solve the default device, a permanent-magnet clamp (an NdFeB block between soft-steel pole shoes "
               "holding a steel keeper across an air gap), with saturating steel; print the gap field and the "
               "force on the keeper by the Maxwell stress and the Kelvin force; write result.vtu and result.png "
               "into the working directory.")


def add_arguments(parser):
    parser.add_argument("--gap", type=float, default=1.0, help="air gap in mm (default %(default)s)")
    parser.add_argument("--cell", type=float, default=2.5,
                        help="mesh cell size in mm, six tetrahedra per cell (default %(default)s: about 3,000 "
                        "tetrahedra; 2 gives about 6,000)")
    parser.add_argument("--tol", type=float, default=1e-6, help="relative residual of the solve (default %(default)s)")
    parser.add_argument("--vtu", default="result.vtu", help="result file for ParaView ('' for none; default "
                        "%(default)s)")
    parser.add_argument("--png", default="result.png", help="field plot ('' for none; default %(default)s)")


def check_arguments(parser, args):
    if not args.gap > 0.0:
        parser.error("--gap must be positive (the keeper must not touch the pole shoes)")
    if not 0.2 <= args.cell <= 10.0:
        parser.error("--cell must lie between 0.2 and 10 mm")
    if not args.tol > 0.0:
        parser.error("--tol must be positive")


def main(args):
    run_clamp(args.gap * MM, args.cell * MM, args.tol, args.vtu or None, args.png or None)
    return 0
