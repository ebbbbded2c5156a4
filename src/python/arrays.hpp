#pragma once
// NumPy at the boundary: accepting array arguments, flat views without a
// copy, copying readers into Vec3 records or column triples, and the result
// writers. The NumPy C API is imported lazily, on the first call that needs it.
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/mesh/mesh.hpp"
#include "core/vec3.hpp"
#include "python/pyref.hpp"

namespace zandrel::py {

// An accepted array argument: a NumPy array of the right dtype and number of
// dimensions, held (one strong reference) for the rest of the call.
class ArrayArg {
 public:
  explicit ArrayArg(PyRef array) : array_(std::move(array)) {}
  PyObject* get() const { return array_.get(); }
  std::size_t dim(int axis) const;  // 0 for a missing axis
  int ndim() const;

 private:
  PyRef array_;
};

enum class DType { f64, u32 };

// TypeError "argument '<name>': ..." unless obj is an ndarray of native
// float64 (uint32) with exactly ndim dimensions. Nothing is converted.
ArrayArg accept_array(PyObject* obj, const char* name, DType dtype, int ndim);
bool is_numpy_bool(PyObject* obj);

// The array's own memory without a copy; C-contiguous and aligned required
// (TypeError otherwise), except that an empty array is always an empty view.
std::span<const double> flat_f64(const ArrayArg& array);
std::span<const std::uint32_t> flat_u32(const ArrayArg& array);

// Regroupings of a flat view: the length must be a multiple of 3 (of 4).
std::span<const Vec3> to_vec3s(std::span<const double> flat);
std::span<Vec3> to_vec3s_mut(std::span<double> flat);
std::span<const Element> to_u32x4s(std::span<const std::uint32_t> flat);

// Copying readers of an (n, >=3) array in any memory layout; columns past the
// third are ignored, fewer than three abort the call.
std::vector<Vec3> pyarray_to_vec3(const ArrayArg& array);
Columns pyarray_to_3cols(const ArrayArg& array);

// Three zero-filled columns of length n: the result buffers of field functions.
inline Columns col_buffer(std::size_t n) { return Columns(n); }

// New (n, 3) float64 array, row i = (x[i], y[i], z[i]).
PyRef cols_to_pyarray(const Columns& cols);

// New 1-D arrays owning a copy of the values.
PyRef f64_array_1d(std::span<const double> values);
PyRef u32_array_1d(std::span<const std::uint32_t> values);

// Reshape to (rows, cols) in C order; NumPy's ValueError if impossible.
PyRef reshape_2d(const PyRef& array, std::size_t rows, std::size_t cols);

}  // namespace zandrel::py
