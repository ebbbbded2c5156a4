#pragma once
// Tables of the translations (translations.hpp), built once per operator or
// plan: the folded rotation matrices of each distinct polar angle, and the
// matrices of the translations along z.
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "core/parallel.hpp"

namespace zandrel {

// sqrt((n - m)! (n + m)!), the factor between the raw and the normalised coefficients.
double harmonic_norm(int n, int m);

// The folded y-rotation matrices (translation::rotation_size(p) doubles) for
// an offset of polar angle theta: forward by -theta (onto +z); the backward
// rotation by +theta is read from them transposed.
std::vector<double> y_rotation(int p, double theta);

// The matrices of one kind of translation along z (translation::Kind), order by order.
std::vector<double> z_translation(int kind, int p);

// The distinct polar angles of a set of offsets, each with the index of its
// rotation (angles equal to 2^-40 rad share one).
class RotationSet {
 public:
  std::uint32_t id(double dx, double dy, double dz);
  std::size_t size() const { return angles_.size(); }
  // The rotation tables, angle after angle.
  std::vector<double> tables(int p, std::uint32_t threads) const;

 private:
  std::map<long long, std::uint32_t> ids_;
  std::vector<double> angles_;
};

}  // namespace zandrel
