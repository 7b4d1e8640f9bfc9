// kova_renderer: camera on the 3-sphere, frusta, culling, FS-depth, depth
// sorting and pipeline records. (Being written.)
#pragma once

#include "kova_kernel.hpp"
#include "kova_rhi.hpp"
