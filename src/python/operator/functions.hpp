#pragma once
// The functions of zandrel._operator: every exported name with its parameter
// list (also its text signature), and its entry point.
#include "python/args.hpp"
#include "python/entry.hpp"

namespace zandrel::py {

inline constexpr Signature sig_build{"build",
                                     {"nodes", "elements", "rows", "order", "theta", "inner_factor", "outer_factor",
                                      "rule_degree", "exact_math", "store_near", "single_direct", "leaf_size",
                                      "target_leaf_size", "max_bytes_per_element", "threads"}};
inline constexpr Signature sig_apply{"apply", {"handle", "m"}};
inline constexpr Signature sig_field{"field", {"handle", "m", "targets"}};
inline constexpr Signature sig_self_tensors{"self_tensors", {"handle", "rows"}};
inline constexpr Signature sig_info{"info", {"handle"}};

ZANDREL_ENTRY(py_build);
ZANDREL_ENTRY(py_apply);
ZANDREL_ENTRY(py_field);
ZANDREL_ENTRY(py_self_tensors);
ZANDREL_ENTRY(py_info);

}  // namespace zandrel::py
