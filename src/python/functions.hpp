#pragma once
// Every exported function: its parameter list and its entry point. The
// registration order (and the order of __all__) is fixed in module.cpp.
#include "python/entry.hpp"

namespace zandrel::py {

#define ZANDREL_DECLARE_FUNCTION(name) \
  extern const Signature sig_##name;   \
  ZANDREL_ENTRY(py_##name);

ZANDREL_DECLARE_FUNCTION(h_current_point_direct)
ZANDREL_DECLARE_FUNCTION(h_mag_point)
ZANDREL_DECLARE_FUNCTION(mesh_centroids)
ZANDREL_DECLARE_FUNCTION(mesh_volumes)

#undef ZANDREL_DECLARE_FUNCTION

}  // namespace zandrel::py
