// What the kernel promises at compile time: constant evaluation of the plain
// matrix and point operations, and the layout of the GPU element types.
#include <cstddef>
#include <type_traits>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;

static_assert(sizeof(HomVec4) == 32 && alignof(HomVec4) == 8);
static_assert(offsetof(HomVec4, x) == 0 && offsetof(HomVec4, y) == 8 &&
              offsetof(HomVec4, z) == 16 && offsetof(HomVec4, w) == 24);
static_assert(sizeof(PGL4) == 128);
static_assert(std::is_trivially_copyable_v<HomVec4> && std::is_standard_layout_v<HomVec4>);
static_assert(std::is_trivially_copyable_v<PGL4> && std::is_standard_layout_v<PGL4>);
static_assert(std::is_aggregate_v<HomVec4> && std::is_aggregate_v<PGL4>);
static_assert(sizeof(kova_kernel::AffineCard) == 1 && sizeof(kova_kernel::Error) == 1);
static_assert(sizeof(kova_kernel::F32x4) == 16);

constexpr PGL4 kLiteral = kova_kernel::pglFromHomogeneous(
    kova_kernel::RowMajor4x4{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
static_assert(kLiteral.det() == 120.0);
static_assert(kLiteral == PGL4::fromRowMajor({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}}));

static_assert(HomVec4::init(1, 2, 3, 4).dot(HomVec4::init(1, 1, 1, 1)) == 10.0);
static_assert(HomVec4::fromCartesian(1, 2, 3).w == 1.0);
static_assert(HomVec4{} == HomVec4::init(0, 0, 0, 0));
static_assert(PGL4{}.det() == 0.0 && PGL4::identity().det() == 1.0);
static_assert(kova_kernel::pglScale(2, 3, 4).det() == 24.0);
static_assert(kova_kernel::pglTranslate(10, 20, 30).apply(HomVec4::init(1, 2, 3, 1)) ==
              HomVec4::init(11, 22, 33, 1));
static_assert(kova_kernel::pglTranslate(1, 0, 0).mul(kova_kernel::pglScale(2, 2, 2))
                  .apply(HomVec4::init(1, 0, 0, 1)) == HomVec4::init(3, 0, 0, 1));
static_assert(kova_kernel::pglTranslate(7, 8, 9).transpose().get(3, 0) == 7.0);
static_assert([] {
  PGL4 m = PGL4::identity();
  m.set(2, 1, 6.0);
  return m.get(2, 1) == 6.0 && m.data[6] == 6.0;
}());

TEST(Constexpr, LiteralMatchesAtRunTime) {
  // The checks above are compile-time; at run time the literal is fromRowMajor.
  EXPECT_EQ(kLiteral.data[15], 5.0);
}

}  // namespace
