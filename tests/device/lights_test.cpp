// Lights in elliptic space on the CPU device: what lightsAt sheds against an
// independent computation over random geometry (the two arcs of the closed
// line, each attenuated by its own length), the picture of a light just
// behind the eye that reaches a surface ahead both ways round, a frame with
// no light reaching anything that stays bit for bit the unlit one, and
// hostile light buffers refused with a clear error that changes nothing.
// Forward+ shading from the tile lists draws what every light draws while no
// list overflows.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "kova_cpu_device.hpp"
#include "kova_device_lights.hpp"
#include "kova_mesh_shading.hpp"
#include "lit_frame.hpp"
#include "kova_tile_lights.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;

double dot4(HomVec4 a, HomVec4 b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }
HomVec4 axpy(double a, HomVec4 x, HomVec4 y) {
  return {a * x.x + y.x, a * x.y + y.y, a * x.z + y.z, a * x.w + y.w};
}
HomVec4 scaled(double a, HomVec4 x) { return {a * x.x, a * x.y, a * x.z, a * x.w}; }
HomVec4 unit(HomVec4 v) { return scaled(1.0 / std::sqrt(dot4(v, v)), v); }
HomVec4 randomVec(std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  return {g(rng), g(rng), g(rng), g(rng)};
}
// v with its component along the unit vector u removed.
HomVec4 orthogonal(HomVec4 v, HomVec4 u) { return axpy(-dot4(v, u), u, v); }

LightGpu gpuLight(HomVec4 position, std::array<float, 3> rgb, float intensity, float range) {
  const HomVec4 p = unit(position);
  return LightGpu{{static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z),
                   static_cast<float>(p.w)},
                  {rgb[0], rgb[1], rgb[2], intensity},
                  {range, 0.0f, 0.0f, 0.0f}};
}

// The window of the lighting model, written out again.
double window(double len, double range) {
  return len < range ? std::pow(1.0 - (len / range) * (len / range), 2.0) : 0.0;
}

TEST(Lights, EachLightShedsItsTwoArcSumOverRandomGeometry) {
  std::mt19937_64 rng(22);
  std::uniform_real_distribution<double> u01(0.0, 1.0);
  int long_arc_cases = 0;
  for (int i = 0; i < 20000; ++i) {
    // A surface point p, a plane through it (normal n, n . p = 0) and a light
    // at distance d from p along a random direction.
    const HomVec4 p = unit(randomVec(rng));
    const HomVec4 n = unit(orthogonal(randomVec(rng), p));
    const HomVec4 t = unit(orthogonal(randomVec(rng), p));
    const double d = (0.001 + 0.998 * u01(rng)) * std::numbers::pi / 2;
    const float range = static_cast<float>((0.05 + 0.95 * u01(rng)) * std::numbers::pi);
    const std::array<float, 3> rgb{static_cast<float>(u01(rng)), static_cast<float>(u01(rng)),
                                   static_cast<float>(u01(rng))};
    const auto intensity = static_cast<float>(4.0 * u01(rng));
    const LightGpu light =
        gpuLight(axpy(std::cos(d), p, scaled(std::sin(d), t)), rgb, intensity, range);

    // Independently: the distance from the kernel's metric, the cosine from
    // the unit tangent of the geodesic towards the light as stored.
    const HomVec4 l{light.position[0], light.position[1], light.position[2], light.position[3]};
    const double dist = kova_kernel::fsDistance(p, l);
    const double cosine =
        std::fabs(dot4(n, unit(orthogonal(l, p))));
    const double short_arc = window(dist, range), long_arc = window(std::numbers::pi - dist, range);
    if (long_arc > 0.05) ++long_arc_cases;
    const double k = intensity * cosine * (short_arc + long_arc);

    // Any scale and either sign of the point, normal and light are the same.
    const double sp = (u01(rng) < 0.5 ? -1.0 : 1.0) * std::exp2(40.0 * u01(rng) - 20.0);
    const double sn = (u01(rng) < 0.5 ? -1.0 : 1.0) * std::exp2(40.0 * u01(rng) - 20.0);
    const LightGpu lights[] = {light};
    const auto shed = lightsAt(scaled(sn, n), scaled(sp, p), lights);
    for (std::size_t c = 0; c < 3; ++c)
      ASSERT_NEAR(shed[c], rgb[c] * k, 2e-5 * (1.0 + rgb[c] * k))
          << "case " << i << ", d " << dist << ", range " << range;
    LightGpu negated = light;
    for (float& v : negated.position) v = -v;
    const LightGpu flipped[] = {negated};
    ASSERT_EQ(lightsAt(n, p, lights), lightsAt(scaled(-1.0, n), scaled(-1.0, p), flipped));
  }
  // The long arc was a real part of the sum in many cases.
  EXPECT_GT(long_arc_cases, 2000);
}

TEST(Lights, PackingComposesTheViewInDoubleAtAnyScale) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 1000; ++i) {
    const HomVec4 a = unit(randomVec(rng));
    const HomVec4 b = unit(orthogonal(randomVec(rng), a));
    const double angle = 3.0 * std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
    // A rotation in the plane of a and b: an isometric view.
    PGL4 view = PGL4::identity();
    const double c = std::cos(angle) - 1.0, s = std::sin(angle);
    const double av[4] = {a.x, a.y, a.z, a.w}, bv[4] = {b.x, b.y, b.z, b.w};
    for (std::size_t r = 0; r < 4; ++r)
      for (std::size_t k = 0; k < 4; ++k)
        view.set(r, k, view.get(r, k) + c * (av[r] * av[k] + bv[r] * bv[k]) +
                           s * (bv[r] * av[k] - av[r] * bv[k]));
    const HomVec4 world = randomVec(rng);
    const std::vector<Light> lights = {
        {world, {0.5, 0.25, 1.0}, 2.0, 1.5},
        {scaled(-0x1p900, world), {0.5, 0.25, 1.0}, 2.0, 1.5},
        {scaled(0x1p-900, world), {0.5, 0.25, 1.0}, 2.0, 1.5}};
    const auto packed = packLights(view, lightValues(lights));
    ASSERT_EQ(packed.size(), 3u);
    const HomVec4 seen = unit(view.apply(world));
    const float expect[4] = {static_cast<float>(seen.x), static_cast<float>(seen.y),
                             static_cast<float>(seen.z), static_cast<float>(seen.w)};
    for (const LightGpu& g : packed) {
      double along = 0.0;
      for (std::size_t k = 0; k < 4; ++k) along += double{g.position[k]} * expect[k];
      const double sign = along < 0.0 ? -1.0 : 1.0;
      for (std::size_t k = 0; k < 4; ++k) ASSERT_NEAR(sign * g.position[k], expect[k], 1e-6);
      EXPECT_EQ(g.color[3], 2.0f);
      EXPECT_EQ(g.range[0], 1.5f);
    }
  }
}

// The colour the model gives the centre of a square facing the eye at
// distance x, of colour `base`, lit by one light on the line of sight at
// `behind` radians behind the eye; with `long_arc` false the long arc is
// left out.
std::array<std::uint8_t, 3> facingCentre(double x, double behind, const Light& light,
                                         std::array<float, 3> base, bool long_arc) {
  const double d = x + behind;
  const double arcs = window(d, light.range) +
                      (long_arc ? window(std::numbers::pi - d, light.range) : 0.0);
  std::array<float, 3> shed{};
  for (std::size_t c = 0; c < 3; ++c)
    shed[c] = static_cast<float>(light.color[c] * light.intensity * arcs);
  const CameraBlock cam = litCamera(65, 65);
  const auto rgb = shadeSurface(base, 1.0, x, cam.far_fs, cam.fog, shed);
  return {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])};
}

TEST(Lights, ALightJustBehindTheEyeReachesSurfacesAheadBothWaysRound) {
  // A light 0.1 rad behind the eye is pi - 0.1 ahead of it: a square 0.9
  // ahead gets it along the short arc through the eye (1.0 long) and along
  // the long arc straight ahead (pi - 1.0).
  constexpr std::uint32_t kSide = 65;  // the centre pixel's ray is the line of sight
  constexpr double kBehind = 0.1, kAhead = 0.9;
  const Light light{HomVec4{0.0, 0.0, std::sin(kBehind), std::cos(kBehind)},
                    {1.0, 0.6, 0.3}, 1.0, 3.0};
  const std::array<float, 3> base{0.3f, 0.3f, 0.3f};
  CpuDevice cpu;
  LitFrame frame(cpu, kSide, kSide);
  LitScene scene{facingSquare(kAhead, 0.5), {PGL4::identity()}, {0.3, 0.3, 0.3}, {}, false};
  scene.light_values = lightValues(std::array<Light, 1>{light});
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures lit = frame.read();
  const std::size_t centre = (kSide / 2) * kSide + kSide / 2;
  const auto both = facingCentre(kAhead, kBehind, light, base, true);
  const auto short_only = facingCentre(kAhead, kBehind, light, base, false);
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_NEAR(lit.rgb[centre * 3 + c], both[c], 1) << "channel " << c;
    // The long arc's share is plain to see.
    EXPECT_GE(both[c] - short_only[c], 2) << "channel " << c;
  }
  EXPECT_GE(both[0] - short_only[0], 10);
}

TEST(Lights, LightsThatReachNothingLeaveThePictureBitForBit) {
  // No buffer, an empty one and lights whose range ends before the surface
  // draw the same picture as the lamp at the eye alone.
  const kova_demo::Mesh cell = kova_demo::makeCellMesh(0.7);
  const std::vector<PGL4> instances = {PGL4::identity()};
  CpuDevice cpu;
  LitFrame frame(cpu, 96, 54);
  LitScene scene{cell, instances, {0.9, 0.5, 0.3}, std::nullopt, false};
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures unlit = frame.read();
  // The cell is around the eye, its faces about 0.3 away: lights at the eye
  // with a range of 0.1 do not reach them.
  const std::vector<Light> short_reach = {{HomVec4{0.0, 0.0, 0.0, 1.0}, {1.0, 1.0, 1.0}, 5.0, 0.1},
                                          {HomVec4{0.01, 0.0, 0.0, 1.0}, {1.0, 0.0, 0.0}, 5.0, 0.1}};
  for (const auto& values : {std::vector<double>{}, lightValues(short_reach)}) {
    scene.light_values = values;
    ASSERT_TRUE(frame.draw(scene));
    const LitPictures again = frame.read();
    EXPECT_EQ(again.rgb, unlit.rgb);
    EXPECT_EQ(again.depth, unlit.depth);
  }
  // And a light that reaches them changes it.
  scene.light_values = lightValues(std::vector<Light>{{HomVec4{0.0, 0.0, 0.0, 1.0}, {1.0, 1.0, 1.0}, 0.5, 1.0}});
  ASSERT_TRUE(frame.draw(scene));
  EXPECT_NE(frame.read().rgb, unlit.rgb);
}

TEST(Lights, ForwardPlusTilesShadeAsEveryLightDoesUntilAListOverflows) {
  constexpr std::uint32_t kW = 160, kH = 90;
  CpuDevice cpu;
  LitFrame frame(cpu, kW, kH);
  LitScene scene = scatteredCells();
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures every = frame.read();
  for (const std::uint32_t tile : {8u, 16u, 32u}) {
    scene.tiles = TileGrid{kW, kH, tile, 256};
    ASSERT_TRUE(frame.draw(scene));
    const LitPictures tiled = frame.read();
    // A light left out of a list reaches no line of the tile: it sheds an
    // exact zero at every fragment there.
    EXPECT_EQ(tiled.rgb, every.rgb) << "tile " << tile;
    EXPECT_EQ(tiled.depth, every.depth) << "tile " << tile;
  }
  // With room for one light per tile the nearest is kept and others are not
  // shed: the picture changes where tiles held several.
  scene.tiles = TileGrid{kW, kH, 16, 1};
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures one = frame.read();
  std::size_t changed = 0;
  for (std::size_t i = 0; i < one.rgb.size(); ++i) changed += one.rgb[i] != every.rgb[i];
  EXPECT_GT(changed, one.rgb.size() / 20);
}

TEST(Lights, TileListBindingsAreCheckedAndAnyListValueIsSafe) {
  constexpr std::uint32_t kW = 64, kH = 32;
  CpuDevice cpu;
  LitFrame frame(cpu, kW, kH);
  LitScene scene = scatteredCells();
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures before = frame.read();
  const TileGrid grid{kW, kH, 16, 4};
  struct Case {
    std::string name;
    std::optional<std::vector<double>> grid_values, list_values;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"grid of another size", std::vector<double>{kW, kH + 1, 16, 4}, std::vector<double>(40, 0.0),
       "the grid at uniform binding 4 is 64 x 33, not the colour attachment's size"},
      {"malformed grid", std::vector<double>{kW, kH, 0.5, 4}, std::vector<double>(40, 0.0),
       "uniform binding 4: tile_size must be a whole number"},
      {"lists too short", {}, std::vector<double>(39, 0.0),
       "uniform binding 3 holds 39 values; the tile lists need 40"}};
  for (const Case& c : cases) {
    scene.tiles = grid;
    scene.grid_values = c.grid_values;
    scene.list_values = c.list_values;
    const auto r = frame.draw(scene);
    ASSERT_FALSE(r) << c.name;
    EXPECT_NE(r.error().find(c.error), std::string::npos) << c.name << ": " << r.error();
    EXPECT_EQ(frame.read().rgb, before.rgb) << c.name;
  }
  // Lists of nonsense shed only the lights they do name, never read past.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  scene.grid_values.reset();
  scene.list_values = std::vector<double>{
      99.0, 3.0, -1.0, 1e300, 2.5,                  // count above the cap
      -0.0, 0.0, 0.0, 0.0, 0.0,                     // -0 counts as 0
      2.0, 23.0, 24.0, 0.0, 0.0,                    // 24 names no light
      nan, 1.0, 2.0, 3.0, 4.0,                      // no count
      4.0, 5.0, 5.0, 5.0, 5.0, 3.0, 3.0, 3.0, 3.0, 3.0,  // repeats
      1.0, 2097152.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  EXPECT_TRUE(frame.draw(scene));
}

TEST(Lights, HostileLightBuffersAreRefusedAndChangeNothing) {
  const kova_demo::Mesh cell = kova_demo::makeCellMesh(0.7);
  CpuDevice cpu;
  LitFrame frame(cpu, 48, 27);
  LitScene scene{cell, {PGL4::identity()}, {0.9, 0.5, 0.3}, std::nullopt, false};
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures before = frame.read();
  for (const HostileLights& h : hostileLights()) {
    scene.light_values = h.values;
    scene.compute_into_lights = h.compute_into_lights;
    const auto r = frame.draw(scene);
    ASSERT_FALSE(r) << h.name;
    EXPECT_NE(r.error().find(h.error), std::string::npos) << h.name << ": " << r.error();
    EXPECT_NE(r.error().find("draw_indexed"), std::string::npos) << r.error();
    const LitPictures after = frame.read();
    EXPECT_EQ(after.rgb, before.rgb) << h.name;
    EXPECT_EQ(after.depth, before.depth) << h.name;
  }
}

}  // namespace
