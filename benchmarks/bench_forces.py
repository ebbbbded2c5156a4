"""Forces on the bodies of solved models: accuracy and cost.

    python benchmarks/bench_forces.py            # about 10 minutes on 2 cores
    python benchmarks/bench_forces.py --quick    # the smaller sizes only

1. Two rigid magnets (10 mm cubes, 2 mm apart, offset sideways): force and
   torque by the Kelvin charge form and the Maxwell stress, with the fast
   operator and exactly, against magpylib's getFT (when importable).
2. A magnet (10 mm cube, 1.2 T, rigid) 2 mm above an iron plate
   (40 x 40 x 10 mm, chi = 1000 and 10^4) under refinement: force on the
   plate by both routes, reaction on the magnet, against the image-magnet
   estimate (the force between the magnet and its mirror image, which is
   what an iron half-space of infinite permeability exerts).
3. The default device (the clamp of python -m zandrel) under refinement:
   the keeper force with saturating steel, and the time.
"""
import argparse
import time

import numpy as np

import zandrel

MM = 1e-3


def two_magnets(quick):
    about = np.array([1 * MM, 0.5 * MM, 17 * MM])
    rows = []
    for divisions in ((2, 3), (4, 5)) if quick else ((2, 3), (4, 5), (6, 7)):
        a = zandrel.box_mesh(10 * MM, divisions[0], region="a")
        b = zandrel.box_mesh(10 * MM, divisions[1], center=(1 * MM, 0.5 * MM, 12 * MM), region="b")
        sol = zandrel.solve([a, b], {"a": zandrel.PermanentMagnet(polarization=(0, 0, 1.2)),
                                     "b": zandrel.PermanentMagnet(polarization=(0.3, 0, 1.0))})
        for exact in (False, True):
            for method in ("kelvin", "maxwell"):
                start = time.perf_counter()
                force, torque = sol.force("b", about, method=method, exact=exact)
                rows.append((sol.mesh.n_elements, "exact" if exact else "operator", method, force, torque,
                             time.perf_counter() - start))
    print("1. Two rigid magnets, 10 mm cubes 2 mm apart: force and torque on the upper one")
    reference = None
    try:
        import magpylib as magpy
        lower = magpy.magnet.Cuboid(dimension=(10 * MM,) * 3, polarization=(0, 0, 1.2))
        upper = magpy.magnet.Cuboid(dimension=(10 * MM,) * 3, polarization=(0.3, 0, 1.0),
                                    position=(1 * MM, 0.5 * MM, 12 * MM))
        start = time.perf_counter()
        reference = magpy.getFT(lower, upper, pivot=about, meshing=(40, 40, 40))
        print(f"   magpylib {magpy.__version__} getFT (40^3 cells): F = {np.round(reference[0], 5)} N, "
              f"T = {np.round(reference[1] * 1e3, 5)} mN m ({time.perf_counter() - start:.2f} s)")
    except ImportError:
        print("   (magpylib not importable: no reference)")
    for elements, evaluation, method, force, torque, seconds in rows:
        deviation = ""
        if reference is not None:
            deviation = (f"  |dF|/|F| {np.linalg.norm(force - reference[0]) / np.linalg.norm(reference[0]):.1e}"
                         f"  |dT|/|T| {np.linalg.norm(torque - reference[1]) / np.linalg.norm(reference[1]):.1e}")
        print(f"   {elements:6d} elements  {evaluation:8s} {method:7s}  F = {np.round(force, 4)} N{deviation}"
              f"  ({seconds:.2f} s)")
    print()


def magnet_over_plate(cell, chi, gap=2 * MM):
    magnet = zandrel.box_mesh(10 * MM, max(1, int(round(10 * MM / cell))), center=(0, 0, gap + 5 * MM),
                              region="magnet")
    size = (40 * MM, 40 * MM, 10 * MM)
    plate = zandrel.box_mesh(size, [max(1, int(round(s / cell))) for s in size], center=(0, 0, -5 * MM),
                             region="plate")
    start = time.perf_counter()
    sol = zandrel.solve([magnet, plate], {"magnet": zandrel.PermanentMagnet(polarization=(0, 0, 1.2)),
                                          "plate": zandrel.LinearMaterial(chi=chi)}, tol=1e-8)
    return sol, time.perf_counter() - start


def image_estimate(gap=2 * MM):
    magnet = zandrel.box_mesh(10 * MM, 2, center=(0, 0, gap + 5 * MM), region="magnet")
    image = zandrel.box_mesh(10 * MM, 2, center=(0, 0, -gap - 5 * MM), region="image")
    twins = zandrel.solve([magnet, image], zandrel.PermanentMagnet(polarization=(0, 0, 1.2)))
    return -twins.force("magnet", method="kelvin", exact=True)[0][2]


def plate_sequence(quick):
    estimate = image_estimate()
    print("2. Magnet (10 mm cube, 1.2 T) 2 mm above an iron plate 40 x 40 x 10 mm: force on the plate (N, z)")
    print(f"   image-magnet estimate (iron half-space, mu -> infinity): {estimate:.4f} N")
    # chi = 10^4 takes about three times the operator applications of 1000.
    for chi, cells in ((1000.0, (5.0, 2.5) if quick else (5.0, 3.33, 2.5, 2.0)),
                       (1e4, (5.0,) if quick else (5.0, 3.33, 2.5))):
        print(f"   chi = {chi:g}:")
        print("   elements  Kelvin     Maxwell    reaction(K) reaction(M)  K-M      K+reaction  /image   "
              "solve    apps")
        for cell in cells:
            sol, seconds = magnet_over_plate(cell * MM, chi)
            kelvin = sol.force("plate", method="kelvin")[0][2]
            maxwell = sol.force("plate", method="maxwell")[0][2]
            reaction_k = sol.force("magnet", method="kelvin")[0][2]
            reaction_m = sol.force("magnet", method="maxwell")[0][2]
            print(f"   {sol.mesh.n_elements:8d}  {kelvin:9.4f}  {maxwell:9.4f}  {reaction_k:10.4f}  {reaction_m:10.4f}  "
                  f"{(kelvin - maxwell) / kelvin:+.1e}  {(kelvin + reaction_k) / kelvin:+.1e}  "
                  f"{kelvin / estimate:.4f}  {seconds:6.1f} s  {sol.iterations:4d}")
    print()


def clamp_sequence(quick):
    from zandrel.device import clamp_model
    print("3. The default device (python -m zandrel): force on the keeper (N, z), saturating steel, tol 1e-6")
    print("   cell    elements  Maxwell    Kelvin     K-M      gap Bz (T)  solve   applications")
    for cell in (5.0, 2.5) if quick else (5.0, 3.33, 2.5, 2.0):
        meshes, materials = clamp_model(cell=cell * MM)
        start = time.perf_counter()
        sol = zandrel.solve(meshes, materials)
        seconds = time.perf_counter() - start
        maxwell = sol.force("keeper")[0][2]
        kelvin = sol.force("keeper", method="kelvin")[0][2]
        gap = sol.flux_density([8 * MM, 0.0, -0.5 * MM])[2]
        print(f"   {cell:4.2f} mm  {sol.mesh.n_elements:8d}  {maxwell:9.4f}  {kelvin:9.4f}  "
              f"{(kelvin - maxwell) / kelvin:+.1e}  {gap:9.4f}  {seconds:6.1f} s  {sol.iterations}")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the smaller sizes only")
    args = parser.parse_args()
    two_magnets(args.quick)
    plate_sequence(args.quick)
    clamp_sequence(args.quick)


if __name__ == "__main__":
    main()
