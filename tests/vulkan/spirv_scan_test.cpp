// Every double-precision arithmetic operation of the embedded shaders carries
// NoContraction: without it a driver may fuse a multiply and an add and the
// device's bits would drift from the host's. glslang drops the mark silently
// (through calls and constructors), so the SPIR-V itself is read here.
#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "shaders.hpp"

namespace {

constexpr std::uint32_t kMagic = 0x07230203;
constexpr std::uint16_t kOpTypeFloat = 22, kOpTypeVector = 23, kOpTypeMatrix = 24, kOpDecorate = 71;
constexpr std::uint32_t kNoContraction = 42;
// OpFAdd, OpFSub, OpFMul, OpFDiv, OpFRem, OpFMod, OpVectorTimesScalar,
// OpMatrixTimesScalar, OpVectorTimesMatrix, OpMatrixTimesVector,
// OpMatrixTimesMatrix, OpOuterProduct, OpDot.
const std::set<std::uint16_t> kArithmetic = {129, 131, 133, 136, 140, 141, 142,
                                             143, 144, 145, 146, 147, 148};

struct Scan {
  std::size_t double_ops = 0;
  std::vector<std::uint32_t> unmarked;  // result ids
  std::size_t float_ops = 0;  // single precision
  std::vector<std::uint32_t> unmarked_floats;
};

Scan scan(std::span<const std::uint32_t> words) {
  Scan out;
  std::set<std::uint32_t> doubles, floats, marked;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ops;  // (result type, result id)
  for (std::size_t i = 5; i < words.size();) {
    const std::uint32_t count = words[i] >> 16;
    const auto op = static_cast<std::uint16_t>(words[i] & 0xFFFF);
    EXPECT_GT(count, 0u);
    if (count == 0 || i + count > words.size()) break;
    const std::uint32_t* w = &words[i];
    if (op == kOpTypeFloat && w[2] == 64) doubles.insert(w[1]);
    if (op == kOpTypeFloat && w[2] == 32) floats.insert(w[1]);
    if ((op == kOpTypeVector || op == kOpTypeMatrix) && doubles.contains(w[2]))
      doubles.insert(w[1]);
    if ((op == kOpTypeVector || op == kOpTypeMatrix) && floats.contains(w[2]))
      floats.insert(w[1]);
    if (op == kOpDecorate && count >= 3 && w[2] == kNoContraction) marked.insert(w[1]);
    if (kArithmetic.contains(op) && count >= 3) ops.emplace_back(w[1], w[2]);
    i += count;
  }
  for (const auto& [type, id] : ops) {
    if (floats.contains(type)) {
      ++out.float_ops;
      if (!marked.contains(id)) out.unmarked_floats.push_back(id);
    }
    if (!doubles.contains(type)) continue;
    ++out.double_ops;
    if (!marked.contains(id)) out.unmarked.push_back(id);
  }
  return out;
}

// The shaders that compute in single precision, every operation marked.
bool singlePrecision(std::string_view name) {
  return name == "mesh.frag" || name == "gbuffer.frag" || name == "tile_lights.comp" ||
         name.starts_with("deferred_light");
}

TEST(VulkanShaders, EveryDoubleOperationIsMarkedNoContraction) {
  std::size_t total = 0;
  for (const kova_device::spirv::Module& m : kova_device::spirv::kAll) {
    ASSERT_GT(m.words.size(), 5u) << m.name;
    ASSERT_EQ(m.words[0], kMagic) << m.name;
    const Scan s = scan(m.words);
    total += s.double_ops;
    EXPECT_TRUE(s.unmarked.empty())
        << m.name << ": " << s.unmarked.size() << " of " << s.double_ops
        << " double operations may be contracted, the first %" << s.unmarked.front();
    // The built-in kernels compute in single precision (below).
    if (m.name.ends_with(".comp") && !singlePrecision(m.name)) {
      EXPECT_GT(s.double_ops, 40u) << m.name << " computes in double precision";
    }
  }
  EXPECT_GT(total, 300u);
}

// The triangles' fragments shade in single precision, and the CPU device
// computes the same sums: every float operation of mesh.frag is marked, and
// the shader does no double arithmetic. The same holds for the tile light
// culling kernel, whose lists must be the CPU device's exactly, and for the
// G-buffer fragments and the deferred lighting kernels.
TEST(VulkanShaders, MeshFragmentsComputeInMarkedSinglePrecision) {
  std::size_t seen = 0;
  for (const kova_device::spirv::Module& m : kova_device::spirv::kAll) {
    if (!singlePrecision(m.name)) continue;
    ++seen;
    const Scan s = scan(m.words);
    EXPECT_EQ(s.double_ops, 0u) << m.name;
    EXPECT_GT(s.float_ops, 20u) << m.name;
    EXPECT_TRUE(s.unmarked_floats.empty()) << m.name << ": " << s.unmarked_floats.size() << " of "
                                           << s.float_ops << " float operations unmarked";
  }
  EXPECT_EQ(seen, 7u) << "a single-precision shader is not embedded";
}

// The raster path is single precision: no vertex or fragment shader does
// double arithmetic (only the compute kernels do).
TEST(VulkanShaders, RasterShadersDoNoDoubleArithmetic) {
  std::size_t raster = 0;
  for (const kova_device::spirv::Module& m : kova_device::spirv::kAll) {
    if (!m.name.ends_with(".vert") && !m.name.ends_with(".frag")) continue;
    ++raster;
    const Scan s = scan(m.words);
    EXPECT_EQ(s.double_ops, 0u) << m.name;
    EXPECT_GT(s.float_ops, 0u) << m.name;
  }
  EXPECT_EQ(raster, 9u);
}

// The scan finds an unmarked operation: a hand-made module with one
// double multiply, first without, then with the decoration.
TEST(VulkanShaders, TheScanSeesAMissingMark) {
  std::vector<std::uint32_t> words = {
      kMagic, 0x00010600, 0, 10, 0, (3u << 16) | kOpTypeFloat, 1, 64, (5u << 16) | 133, 1, 4, 2, 3};
  EXPECT_EQ(scan(words).unmarked, std::vector<std::uint32_t>{4});
  words.insert(words.begin() + 8, {(3u << 16) | kOpDecorate, 4, kNoContraction});
  EXPECT_TRUE(scan(words).unmarked.empty());
  EXPECT_EQ(scan(words).double_ops, 1u);
}

}  // namespace
