#pragma once
// The module's functions: every exported name with its parameter list (also
// its text signature), and its entry point. The registration order (and the
// order of __all__) is fixed in module.cpp. Each entry point converts its
// arguments, calls the function's core entry point (core/functions) and
// converts the results back.
#include "python/args.hpp"
#include "python/entry.hpp"

namespace zandrel::py {

inline constexpr Signature sig_h_current_point_direct{
    "h_current_point_direct", {"src_pts", "src_vol", "src_jdensity", "tgt_pts", "nthreads_requested"}};
inline constexpr Signature sig_h_current_point_octree{
    "h_current_point_octree",
    {"src_pts", "src_vol", "src_jdensity", "tgt_pts", "theta", "leaf_threshold", "nthreads_requested"}};
inline constexpr Signature sig_h_current_tet4_direct{
    "h_current_tet4_direct", {"nodes", "connectivity", "jdensity", "tgts", "nthreads_requested", "edge"}};
inline constexpr Signature sig_h_current_tet4_octree{
    "h_current_tet4_octree",
    {"nodes", "connectivity", "jdensity", "tgt_pts", "theta", "leaf_threshold", "nthreads_requested"}};
inline constexpr Signature sig_h_mag_point{
    "h_mag_point",
    {"centroids", "volumes", "mvectors", "targets", "theta", "leaf_threshold", "nthreads_requested", "use_octree"}};
inline constexpr Signature sig_h_mag_tet4{"h_mag_tet4",
                                          {"nodes", "connectivity", "mvectors", "targets", "theta", "leaf_threshold",
                                           "nthreads_requested", "use_octree", "edge"}};
inline constexpr Signature sig_magnetization_tet4{
    "magnetization_tet4",
    {"nodes", "connectivity", "chi", "hext", "tol", "max_iterations", "theta", "leaf_threshold", "alpha",
     "nthreads_requested", "edge"}};
inline constexpr Signature sig_mesh_centroids{"mesh_centroids", {"nodes", "connectivity"}};
inline constexpr Signature sig_mesh_volumes{"mesh_volumes", {"nodes", "connectivity"}};
inline constexpr Signature sig_mesh_surface_faces{"mesh_surface_faces", {"connectivity"}};
inline constexpr Signature sig_mesh_surface_face_properties{"mesh_surface_face_properties", {"nodes", "faces"}};
inline constexpr Signature sig_mesh_surface_forces{"mesh_surface_forces", {"face_areas", "face_normals", "b_field"}};
inline constexpr Signature sig__mesh_surface_tets{"_mesh_surface_tets", {"nodes", "faces", "centroids", "normals"}};
inline constexpr Signature sig_mesh_kelvin_force_density{
    "mesh_kelvin_force_density", {"nodes", "connectivity", "m_field_centroids", "h_field_nodes"}};

ZANDREL_ENTRY(py_h_current_point_direct);
ZANDREL_ENTRY(py_h_current_point_octree);
ZANDREL_ENTRY(py_h_current_tet4_direct);
ZANDREL_ENTRY(py_h_current_tet4_octree);
ZANDREL_ENTRY(py_h_mag_point);
ZANDREL_ENTRY(py_h_mag_tet4);
ZANDREL_ENTRY(py_magnetization_tet4);
ZANDREL_ENTRY(py_mesh_centroids);
ZANDREL_ENTRY(py_mesh_volumes);
ZANDREL_ENTRY(py_mesh_surface_faces);
ZANDREL_ENTRY(py_mesh_surface_face_properties);
ZANDREL_ENTRY(py_mesh_surface_forces);
ZANDREL_ENTRY(py__mesh_surface_tets);
ZANDREL_ENTRY(py_mesh_kelvin_force_density);

}  // namespace zandrel::py
