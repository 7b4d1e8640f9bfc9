// kova_view's command line: every option that the scene or the viewer cannot
// use is refused with a message naming it, and the two spellings of the
// window's size mean the same.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "view_options.hpp"

namespace {

using namespace kova_view;

std::expected<ViewOptions, std::string> parse(std::initializer_list<const char*> args) {
  const std::vector<const char*> v(args);
  return parseViewOptions(v);
}

TEST(ViewOptions, RefusesWhatDoesNotApplyAndNamesIt) {
  const struct {
    std::initializer_list<const char*> args;
    const char* named;
  } bad[] = {
      {{"--points", "5000"}, "--points"},  // the lattice is the default scene
      {{"--seed", "3"}, "--seed"},
      {{"--scene", "lattice", "--points", "5000"}, "--points"},
      {{"--device", "cpu"}, "--device cpu"},
      {{"--device", "gpu"}, "--device"},
      {{"--device"}, "--device"},
      {{"--size", "640"}, "--size"},
      {{"--size", "10x10"}, "--size"},
      {{"--size", "640x360x2"}, "--size"},
      {{"--resize-cycle", "4", "--frames", "100"}, "--resize-cycle"},  // no --resize
      {{"--resize", "800x450", "--resize-cycle", "4", "--frames", "39"}, "--resize-cycle"},
      {{"--resize-cycle", "0"}, "--resize-cycle"},
      {{"--screenshot", "x.png"}, "--screenshot"},  // without --frames
      {{"--samples", "2"}, "--samples"},
      {{"--samples", "0"}, "--samples"},
      {{"--samples"}, "--samples"},
      {{"--at-km", "5"}, "--at-km"},  // the lattice stands nowhere
      {{"--scene", "points", "--at-km", "5"}, "--at-km"},
      {{"--scene", "walk", "--at-km", "-1"}, "--at-km"},
      {{"--scene", "walk", "--at-km", "18342"}, "--at-km"},
      {{"--scene", "walk", "--at-km", "1e3"}, "--at-km"},
      {{"--scene", "walk", "--at-km", "nan"}, "--at-km"},
      {{"--scene", "walk", "--at-km"}, "--at-km"},
      {{"--scene", "walk", "--seed", "2"}, "--seed"},
      {{"--scene", "hike"}, "--scene"},
      {{"--pipeline", "forward"}, "--pipeline"},
      {{"--pipeline"}, "--pipeline"},
      {{"--scene", "walk", "--pipeline", "deferred"}, "--pipeline"},
      {{"--lights", "4097"}, "--lights"},
      {{"--lights", "-1"}, "--lights"},
      {{"--pipeline", "deferred", "--lights", "2000"}, "--lights"},
      {{"--scene", "points", "--lights", "8"}, "--lights"},
  };
  for (const auto& c : bad) {
    const auto o = parse(c.args);
    ASSERT_FALSE(o.has_value()) << "accepted: " << *c.args.begin();
    EXPECT_NE(o.error().find(c.named), std::string::npos) << o.error();
  }
}

TEST(ViewOptions, WalkStandsWhereItIsAsked) {
  const auto o = parse({"--scene", "walk", "--at-km", "12.5"});
  ASSERT_TRUE(o) << o.error();
  EXPECT_EQ(o->scene, ViewScene::walk);
  EXPECT_EQ(o->at_km, 12.5);
  const auto far = parse({"--scene", "walk", "--at-km", "18341.87"});
  ASSERT_TRUE(far) << far.error();
  EXPECT_EQ(parse({"--scene", "walk"})->at_km, 5000.0);
}

TEST(ViewOptions, SizeSpellingsAgreeAndTheDeviceRequestIsKept) {
  const auto a = parse({"--size", "800x450"});
  const auto b = parse({"--height", "450", "--width", "800"});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->width, 800u);
  EXPECT_EQ(a->height, 450u);
  EXPECT_EQ(a->width, b->width);
  EXPECT_EQ(a->height, b->height);
  // The later spelling wins, as for every repeated option.
  const auto c = parse({"--width", "100", "--size", "320x200", "--height", "240"});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->width, 320u);
  EXPECT_EQ(c->height, 240u);

  const auto d = parse({"--scene", "points", "--points", "5000", "--seed", "9", "--device",
                        "vulkan", "--require-device", "--validation", "--resize", "640x360",
                        "--resize-cycle", "4", "--frames", "40"});
  ASSERT_TRUE(d) << d.error();
  EXPECT_EQ(d->points, 5000u);
  EXPECT_EQ(d->seed, 9u);
  EXPECT_EQ(d->device.choice, kova_demo::DeviceChoice::vulkan);
  EXPECT_TRUE(d->device.require);
  EXPECT_TRUE(d->device.validation);
  EXPECT_EQ(d->resize_cycle, 4u);
  // The viewer asks for Vulkan even when not told to: it has nothing else.
  const auto e = parse({});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->device.choice, kova_demo::DeviceChoice::vulkan);
  EXPECT_FALSE(e->device.require);
}

TEST(ViewOptions, SamplesAndFloat64ReachTheDeviceRequest) {
  const auto plain = parse({});
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->device.samples, 4u);
  EXPECT_TRUE(plain->device.float64);
  const auto asked = parse({"--samples", "1", "--no-float64"});
  ASSERT_TRUE(asked) << asked.error();
  EXPECT_EQ(asked->device.samples, 1u);
  EXPECT_FALSE(asked->device.float64);
  EXPECT_NE(viewUsage().find("--samples"), std::string::npos);
  EXPECT_NE(viewUsage().find("--no-float64"), std::string::npos);
}

}  // namespace
