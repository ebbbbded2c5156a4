#include "core/mesh/forces.hpp"

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/mesh/gradient.hpp"

ZANDREL_BEGIN

std::vector<Mat3> maxwell_stress_tensor(std::span<const double> b_field) {
  std::vector<Mat3> out(b_field.size() / 3);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const double bx = b_field[3 * i], by = b_field[3 * i + 1], bz = b_field[3 * i + 2];
    const double b = mag3(bx, by, bz);
    const double p = (0.5 * b) * b;  // magnetic pressure times mu0
    const double bxy = bx * by, bxz = bx * bz, byz = by * bz;
    Mat3 t{{Vec3{bx * bx - p, bxy, bxz}, Vec3{bxy, by * by - p, byz}, Vec3{bxz, byz, bz * bz - p}}};
    t *= inv_mu0;
    out[i] = t;
  }
  return out;
}

std::vector<Vec3> surface_forces(std::span<const double> face_areas, std::span<const double> face_normals,
                                 std::span<const Mat3> stress_tensor) {
  const std::size_t n = face_areas.size();
  assert_eq(n, face_normals.size() / 3);
  assert_eq(n, stress_tensor.size());
  std::vector<Vec3> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const Vec3 normal{face_normals[3 * i], face_normals[3 * i + 1], face_normals[3 * i + 2]};
    out[i] = stress_tensor[i].mul_vec(normal) * face_areas[i];
  }
  return out;
}

Columns kelvin_force_density(std::span<const Mat3> j_invt, std::span<const Element> elements, std::size_t count,
                             std::span<const Vec3> m, const Columns& h) {
  std::vector<Vec3> grad_hx(count), grad_hy(count), grad_hz(count);
  const std::vector<Vec3> gx = gvectors(elements, h.x);
  const std::vector<Vec3> gy = gvectors(elements, h.y);
  const std::vector<Vec3> gz = gvectors(elements, h.z);
  for (std::size_t i = 0; i < count; ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const Mat3& jt = at(j_invt, i);
    grad_hx[i] = gradient(jt, at(gx, i));
    grad_hy[i] = gradient(jt, at(gy, i));
    grad_hz[i] = gradient(jt, at(gz, i));
  }
  Columns f(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const Vec3& mi = at(m, i);
    f.x[i] = dot(mi, grad_hx[i]);
    f.y[i] = dot(mi, grad_hy[i]);
    f.z[i] = dot(mi, grad_hz[i]);
  }
  return f;
}

Columns kelvin_force_density(std::span<const Vec3> nodes, std::span<const Element> elements, std::size_t count,
                             std::span<const Vec3> m, const Columns& h) {
  const std::vector<Mat3> j_invt = jmatrices(nodes, elements);
  return kelvin_force_density(j_invt, elements, count, m, h);
}

ZANDREL_END
