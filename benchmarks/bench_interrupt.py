"""How fast every function answers Ctrl-C.

A child process calls each function over and over on a large problem (a
6-million-element ball mesh, a million point sources, 10^5 to 10^6 targets);
this process sends it SIGINT at a random moment and measures the time until
the child has caught the KeyboardInterrupt. Printed per function: the time
one call takes and the median and largest of the latencies.

    python benchmarks/bench_interrupt.py [--repeats 5] [--only name ...]
"""
import argparse
import random
import signal
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent(r"""
    import os, sys, time
    import numpy as np
    import _zandrel
    from zandrel import sphere_mesh

    protocol = os.fdopen(os.dup(1), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # the solver's progress lines

    rng = np.random.default_rng(1)
    nodes, conn = sphere_mesh(1.0, 100)                 # 6e6 elements
    small_nodes, small_conn = sphere_mesh(1.0, 20)      # 48,000 elements
    cen = _zandrel.mesh_centroids(nodes, conn)
    vol = _zandrel.mesh_volumes(nodes, conn)
    m = np.tile([0.0, 0.0, 1.0], (len(conn), 1))
    sm = np.tile([0.0, 0.0, 1.0], (len(small_conn), 1))
    pts, pvol, pm = cen[:1_000_000].copy(), vol[:1_000_000].copy(), m[:1_000_000].copy()
    targets = rng.normal(size=(1_000_000, 3))
    few = targets[:20000]
    faces = _zandrel.mesh_surface_faces(conn)
    areas, fcen, normals = _zandrel.mesh_surface_face_properties(nodes, faces)
    big_faces = np.ascontiguousarray(np.tile(faces, (40, 1)))
    big_areas, big_normals = np.tile(areas, 40), np.ascontiguousarray(np.tile(normals, (40, 1)))
    h_nodes = np.ascontiguousarray(np.tile([0.0, 0.0, 1.0], (len(nodes), 1)) + nodes)

    z = _zandrel
    cases = {
        "h_current_point_direct": lambda: z.h_current_point_direct(pts[:20000], pvol[:20000], pm[:20000], targets[:200000], 0),
        "h_current_point_octree": lambda: z.h_current_point_octree(pts, pvol, pm, targets, 0.5, 8, 0),
        "h_current_tet4_direct": lambda: z.h_current_tet4_direct(small_nodes, small_conn, sm, few, 0, False),
        "h_current_tet4_octree": lambda: z.h_current_tet4_octree(nodes, conn, m, targets[:10000], 0.5, 8, 0),
        "h_mag_point direct": lambda: z.h_mag_point(pts[:20000], pvol[:20000], pm[:20000], targets[:200000], 0.5, 8, 0, False),
        "h_mag_point octree": lambda: z.h_mag_point(pts, pvol, pm, targets, 0.5, 8, 0, True),
        "h_mag_tet4 face": lambda: z.h_mag_tet4(small_nodes, small_conn, sm, few, 0.5, 8, 0, False, False),
        "h_mag_tet4 edge": lambda: z.h_mag_tet4(small_nodes, small_conn, sm, few[:2000], 0.5, 8, 0, False, True),
        "h_mag_tet4 octree": lambda: z.h_mag_tet4(nodes, conn, m, targets[:10000], 0.3, 8, 0, True, False),
        "h_mag_tet4 1 target": lambda: z.h_mag_tet4(nodes, conn, m, targets[:1], 0.5, 8, 0, False, True),
        "magnetization_tet4 direct": lambda: z.magnetization_tet4(small_nodes, small_conn[:5000], 1.0, sm[:5000], -1.0, 10**6, 0.5, 0, 0.5, 0, False),
        "magnetization_tet4 octree": lambda: z.magnetization_tet4(nodes, conn, 1.0, m, -1.0, 10**6, 0.5, 8, 0.5, 0, False),
        "mesh_centroids": lambda: z.mesh_centroids(nodes, conn),
        "mesh_volumes": lambda: z.mesh_volumes(nodes, conn),
        "mesh_surface_faces": lambda: z.mesh_surface_faces(conn),
        "mesh_surface_face_properties": lambda: z.mesh_surface_face_properties(nodes, big_faces),
        "mesh_surface_forces": lambda: z.mesh_surface_forces(big_areas, big_normals, big_normals),
        "_mesh_surface_tets": lambda: z._mesh_surface_tets(nodes.ravel(), big_faces.ravel()[:3 * 10**7],
                                                           np.tile(fcen.ravel(), 40)[:3 * 10**7],
                                                           np.tile(normals.ravel(), 40)[:3 * 10**7]),
        "mesh_kelvin_force_density": lambda: z.mesh_kelvin_force_density(nodes, conn, m, h_nodes),
    }
    only = sys.argv[2:]
    repeats = int(sys.argv[1])
    for name, call in cases.items():
        if only and name not in only:
            continue
        start = time.perf_counter()
        if not name.startswith("magnetization_tet4"):  # the solver runs for ever
            call()
        one_call = time.perf_counter() - start
        for _ in range(repeats):
            print(f"ready\t{name}", file=protocol)
            try:
                while True:
                    call()
            except KeyboardInterrupt:
                print(f"interrupted\t{time.perf_counter()!r}\t{one_call!r}", file=protocol)
    print("done", file=protocol)
""")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", nargs="*", default=[])
    args = parser.parse_args()
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(args.repeats), *args.only],
                             stdout=subprocess.PIPE, text=True)
    rng = random.Random(7)
    latencies = {}
    print(f"{'function':30s} {'one call':>9s} {'median':>8s} {'max':>8s}  (Ctrl-C latency)")
    while True:
        line = child.stdout.readline().rstrip("\n").split("\t")
        if line[0] != "ready":
            break
        name = line[1]
        time.sleep(rng.uniform(0.2, 1.0))
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        _, caught, one_call = child.stdout.readline().split("\t")
        latencies.setdefault(name, []).append(float(caught) - sent)
        if len(latencies[name]) == args.repeats:
            lat = sorted(latencies[name])
            print(f"{name:30s} {float(one_call):8.3f}s {lat[len(lat) // 2]:7.3f}s {lat[-1]:7.3f}s", flush=True)
    child.wait()
    return child.returncode


if __name__ == "__main__":
    sys.exit(main())
