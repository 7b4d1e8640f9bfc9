#include <gtest/gtest.h>
#include "kova_kernel.hpp"
TEST(Smoke, Builds) { EXPECT_EQ(kova_kernel::PGL4::identity().det(), 1.0); }
