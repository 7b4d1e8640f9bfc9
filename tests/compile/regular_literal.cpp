// Must compile: diag(2, 3, 4, 5) is regular, with determinant 120.
#include "kova_kernel.hpp"

constexpr kova_kernel::PGL4 kRegular = kova_kernel::pglFromHomogeneous(
    kova_kernel::RowMajor4x4{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
static_assert(kRegular.det() == 120.0);

int main() { return kRegular.det() == 120.0 ? 0 : 1; }
