"""A permanent magnet in a soft-iron C-yoke with an air gap, built and meshed
with the gmsh Python API, magnetised and exported for ParaView.

    pip install zandrel[gmsh]
    python examples/gmsh_magnet_yoke.py [--size 4e-3] [--chi 100]

Writes ``magnet_yoke.vtu`` (elements with region, M and B) and
``magnet_yoke_plane.vti`` (B on the mid-plane) into the working directory.

The yoke is a rectangular frame 60 x 40 mm (10 mm thick) whose left leg
holds a magnet polarised along +y (1.2 T) and whose right leg is cut by a
5 mm gap. The magnet is rigid (its magnetisation does not respond to the
field), so the yoke's magnetisation in the magnet's field is the whole
solution.
"""
import argparse
import logging
import time

import gmsh
import numpy as np

import zandrel

MM = 1e-3


def build_model(size):
    """The frame with its gap and the magnet as two physical volumes, meshed."""
    occ = gmsh.model.occ
    outer = occ.addBox(-30 * MM, -20 * MM, -5 * MM, 60 * MM, 40 * MM, 10 * MM)
    inner = occ.addBox(-20 * MM, -10 * MM, -5 * MM, 40 * MM, 20 * MM, 10 * MM)
    gap = occ.addBox(20 * MM, -2.5 * MM, -5 * MM, 10 * MM, 5 * MM, 10 * MM)
    frame, _ = occ.cut([(3, outer)], [(3, inner), (3, gap)])
    magnet = occ.addBox(-30 * MM, -5 * MM, -5 * MM, 10 * MM, 10 * MM, 10 * MM)
    pieces, _ = occ.fragment(frame, [(3, magnet)])
    occ.synchronize()
    # After the fragment the magnet is the volume whose centre lies in the left leg.
    magnet_tags, yoke_tags = [], []
    for dim, tag in pieces:
        x, y, _ = occ.getCenterOfMass(dim, tag)
        (magnet_tags if abs(x + 25 * MM) < 1e-9 and abs(y) < 1e-9 else yoke_tags).append(tag)
    gmsh.model.addPhysicalGroup(3, magnet_tags, name="magnet")
    gmsh.model.addPhysicalGroup(3, yoke_tags, name="yoke")
    gmsh.option.setNumber("Mesh.MeshSizeMax", size)
    gmsh.model.mesh.generate(3)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=float, default=4e-3, help="largest element size in m (default %(default)s)")
    parser.add_argument("--chi", type=float, default=100.0, help="susceptibility of the yoke (default %(default)s)")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(message)s")

    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        build_model(args.size)
        mesh = zandrel.Mesh.from_gmsh()
    finally:
        gmsh.finalize()
    print(mesh)

    magnet, yoke = mesh.submesh("magnet"), mesh.submesh("yoke")
    m_magnet = np.array([0.0, 1.2 / zandrel.MU0, 0.0])  # 1.2 T polarisation, in A/m
    start = time.perf_counter()
    h_applied = zandrel.h_mag_tet4(*magnet, m_magnet, yoke.centroids)
    m_yoke, _ = zandrel.magnetization_tet4(*yoke, args.chi, h_applied)
    seconds = time.perf_counter() - start

    m = np.zeros((mesh.n_elements, 3))
    m[mesh.region("magnet")] = m_magnet
    m[mesh.region("yoke")] = m_yoke
    gap_centre = np.array([25 * MM, 0.0, 0.0])
    b_gap = zandrel.b_mag_tet4(*mesh, m, gap_centre)
    b_without_yoke = zandrel.b_mag_tet4(*magnet, m_magnet, gap_centre)
    print(f"B in the gap centre: {b_gap * 1e3} mT (magnet alone: {b_without_yoke * 1e3} mT)")
    print(f"yoke magnetised in {seconds:.1f} s")

    mesh.write("magnet_yoke.vtu", cell_data={"M": m, "B": zandrel.b_mag_tet4(*mesh, m, mesh.centroids)})
    plane = zandrel.grid.plane((0.08, 0.06), (161, 121))
    plane.write("magnet_yoke_plane.vti", {"B": zandrel.b_mag_tet4(*mesh, m, plane)})
    print("wrote magnet_yoke.vtu and magnet_yoke_plane.vti")


if __name__ == "__main__":
    main()
