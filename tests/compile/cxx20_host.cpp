// Must not compile: a host built as C++20 gets one line that says why.
#include "kova_kernel.hpp"
#include "kova_renderer.hpp"
#include "kova_rhi.hpp"

int main() { return 0; }
