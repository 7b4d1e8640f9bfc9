// Must not compile: a transform literal with a zero row is singular.
#include "kova_kernel.hpp"

constexpr kova_kernel::PGL4 kSingular = kova_kernel::pglFromHomogeneous(
    kova_kernel::RowMajor4x4{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 5}}});

int main() { return static_cast<int>(kSingular.data[0]); }
