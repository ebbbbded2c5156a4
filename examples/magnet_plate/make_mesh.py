"""Builds magnet_plate.msh, the mesh of the example problem file, with the
gmsh Python API (``pip install zandrel[gmsh]``):

- "magnet": a cylinder magnet, 12 mm across and 6 mm high, its lower face
  1 mm above the plate;
- "plate": a steel plate 40 x 40 x 5 mm, its top face at z = 0.

Lengths in mm (the problem file says ``unit = "mm"``). The elements are
finer near the gap. Run it from this folder to regenerate the file.
"""
import gmsh


def build(path="magnet_plate.msh", size=5.0, fine=2.0):
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("magnet_plate")
        occ = gmsh.model.occ
        magnet = occ.addCylinder(0, 0, 1.0, 0, 0, 6.0, 6.0)
        plate = occ.addBox(-20, -20, -5, 40, 40, 5)
        occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [magnet], name="magnet")
        gmsh.model.addPhysicalGroup(3, [plate], name="plate")
        # Element size: `fine` near the gap (within the magnet's radius of
        # the axis), growing to `size` away from it.
        distance = gmsh.model.mesh.field.add("Ball")
        gmsh.model.mesh.field.setNumber(distance, "Radius", 9.0)
        gmsh.model.mesh.field.setNumber(distance, "Thickness", 8.0)
        gmsh.model.mesh.field.setNumber(distance, "VIn", fine)
        gmsh.model.mesh.field.setNumber(distance, "VOut", size)
        gmsh.model.mesh.field.setAsBackgroundMesh(distance)
        gmsh.option.setNumber("Mesh.MeshSizeExtendFromBoundary", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromCurvature", 0)
        gmsh.model.mesh.generate(3)
        gmsh.option.setNumber("Mesh.Binary", 1)
        gmsh.write(path)
    finally:
        gmsh.finalize()


if __name__ == "__main__":
    build()
