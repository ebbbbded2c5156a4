#include "core/mesh/gradient.hpp"

#include "core/errors.hpp"
#include "core/interrupt.hpp"

ZANDREL_BEGIN

std::vector<Mat3> jmatrices(std::span<const Vec3> nodes, std::span<const Element> elements) {
  std::vector<Mat3> out(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const auto [a, b, c, d] = element_nodes(nodes, elements[i]);
    const Vec3 e1 = b - a, e2 = c - a, e3 = d - a;
    const Mat3 jacobian{{Vec3{e1.x, e2.x, e3.x}, Vec3{e1.y, e2.y, e3.y}, Vec3{e1.z, e2.z, e3.z}}};
    out[i] = jacobian.inverse_transpose();
  }
  return out;
}

std::vector<Vec3> gvectors(std::span<const Element> elements, std::span<const double> fvalues) {
  std::vector<Vec3> out(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const auto [a, b, c, d] = elements[i];
    const double fb = at(fvalues, b);
    const double fa = at(fvalues, a);
    const double fc = at(fvalues, c);
    const double fd = at(fvalues, d);
    out[i] = {fb - fa, fc - fa, fd - fa};
  }
  return out;
}

ZANDREL_END
