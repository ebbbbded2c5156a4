#pragma once
// The numbers of the physics and of the fixed arithmetic, written once. Each
// is the 64-bit float the formulas multiply by (a product with 1/(4 pi), not
// a division by 4 pi), so that every result is reproducible to the bit.
namespace zandrel {

inline constexpr double inv_4pi = 0.07957747154594767;         // 1/(4 pi)
inline constexpr double four_pi = 12.566370614359172;          // 4 pi
inline constexpr double inv_4pi_sqrt27 = 0.015314691539494224;  // 1/(4 pi 3^(3/2)): PointDipole::add_fused_field
inline constexpr double three_over_4pi = 0.238732414637843;    // 3/(4 pi): sphere radius^3 per volume
inline constexpr double one_third = 0.3333333333333333;        // nearest double to 1/3
inline constexpr double minus_one_third = -0.3333333333333333;
inline constexpr double one_sixth = 0.16666666666666666;       // bit pattern 0x3FC5555555555555
inline constexpr double inv_sqrt2 = 0.7071067811865475;        // 1/sqrt(2), bit pattern 0x3FE6A09E667F3BCC

// 1/mu0 with mu0 = 4 pi 1e-7 (bit pattern 0x412848FD6E50B45C), in A/(T m).
inline constexpr double inv_mu0 = 795774.7154594767;

}  // namespace zandrel
