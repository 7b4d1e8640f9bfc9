// How closely two RGB8 pictures agree, for the parity tests of both devices
// and both pipelines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kova_test {

// The share of pixels whose channels all lie within `tol` of the other
// picture's; 0 for pictures of different sizes or none.
inline double agreeing(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b,
                       int tol) {
  if (a.size() != b.size() || a.size() < 3) return 0.0;
  std::size_t ok = 0;
  for (std::size_t p = 0; p * 3 < a.size(); ++p) {
    bool same = true;
    for (std::size_t c = 0; c < 3; ++c) same = same && std::abs(a[p * 3 + c] - b[p * 3 + c]) <= tol;
    ok += same;
  }
  return static_cast<double>(ok) / static_cast<double>(a.size() / 3);
}

}  // namespace kova_test
