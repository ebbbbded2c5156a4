#pragma once
// Every exported function: its parameter list and its entry point. The
// registration order (and the order of __all__) is fixed in module.cpp.
#include "python/entry.hpp"

namespace zandrel::py {

#define ZANDREL_DECLARE_FUNCTION(name) \
  extern const Signature sig_##name;   \
  ZANDREL_ENTRY(py_##name);

ZANDREL_DECLARE_FUNCTION(h_current_point_direct)
ZANDREL_DECLARE_FUNCTION(h_current_point_octree)
ZANDREL_DECLARE_FUNCTION(h_current_tet4_direct)
ZANDREL_DECLARE_FUNCTION(h_current_tet4_octree)
ZANDREL_DECLARE_FUNCTION(h_mag_point)
ZANDREL_DECLARE_FUNCTION(h_mag_tet4)
ZANDREL_DECLARE_FUNCTION(magnetization_tet4)
ZANDREL_DECLARE_FUNCTION(mesh_centroids)
ZANDREL_DECLARE_FUNCTION(mesh_volumes)
ZANDREL_DECLARE_FUNCTION(mesh_surface_faces)
ZANDREL_DECLARE_FUNCTION(mesh_surface_face_properties)
ZANDREL_DECLARE_FUNCTION(mesh_surface_forces)
ZANDREL_DECLARE_FUNCTION(_mesh_surface_tets)
ZANDREL_DECLARE_FUNCTION(mesh_kelvin_force_density)

#undef ZANDREL_DECLARE_FUNCTION

}  // namespace zandrel::py
