#include "demo_scene.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace kova_demo {
namespace {

using Rng = std::mt19937_64;

// Marsaglia's polar method: portable across standard libraries, unlike
// std::normal_distribution, so a seed gives the same scene everywhere.
double gaussian(Rng& rng) {
  for (;;) {
    const double u = std::ldexp(static_cast<double>(rng() >> 11), -53) * 2.0 - 1.0;
    const double v = std::ldexp(static_cast<double>(rng() >> 11), -53) * 2.0 - 1.0;
    const double s = u * u + v * v;
    if (s > 0.0 && s < 1.0) return u * std::sqrt(-2.0 * std::log(s) / s);
  }
}

double uniform(Rng& rng, double lo, double hi) {
  return lo + (hi - lo) * std::ldexp(static_cast<double>(rng() >> 11), -53);
}

HomVec4 randomOnSphere(Rng& rng) {
  for (;;) {
    const HomVec4 g{gaussian(rng), gaussian(rng), gaussian(rng), gaussian(rng)};
    if (g.norm() > 1e-3) return g.normalize();
  }
}

HomVec4 scaled(HomVec4 v, double s) { return {v.x * s, v.y * s, v.z * s, v.w * s}; }

// The point at Fubini-Study distance `theta` from the eye in the unit 3-direction d.
HomVec4 atDistance(double theta, double dx, double dy, double dz) {
  const double n = std::sqrt(dx * dx + dy * dy + dz * dz);
  const double s = std::sin(theta) / n;
  return HomVec4{s * dx, s * dy, s * dz, std::cos(theta)};
}

// A direction within `cone` radians of -z.
void directionAhead(Rng& rng, double cone, double& dx, double& dy, double& dz) {
  const double a = uniform(rng, 0.0, 2.0 * std::numbers::pi);
  const double t = uniform(rng, 0.0, cone);
  dx = std::sin(t) * std::cos(a);
  dy = std::sin(t) * std::sin(a) * 0.6;
  dz = -std::cos(t);
}

}  // namespace

Scene makeScene(std::uint32_t count, std::uint64_t seed) {
  Rng rng(seed);
  Scene scene;
  scene.positions.reserve(count);
  scene.object.reserve(count);

  constexpr std::uint32_t kClusters = 24;
  const std::uint32_t clustered = count / 3;
  std::vector<HomVec4> centers;
  for (std::uint32_t k = 0; k < kClusters; ++k) {
    HomVec4 c;
    if (k < kClusters / 2) {  // ahead of the camera, at varying depth
      double dx, dy, dz;
      directionAhead(rng, 0.45, dx, dy, dz);
      c = atDistance(uniform(rng, 0.3, 0.85), dx, dy, dz);
    } else {  // anywhere on the sphere, in the w > 0 half
      do c = randomOnSphere(rng);
      while (std::fabs(c.w) < 0.2);
      if (c.w < 0.0) c = scaled(c, -1.0);
    }
    centers.push_back(c);

    const std::uint32_t n = clustered / kClusters + (k < clustered % kClusters ? 1 : 0);
    const double sigma = uniform(rng, 0.004, 0.018);
    Cluster cluster{c, 0.0, static_cast<std::uint32_t>(scene.positions.size()), n};
    for (std::uint32_t i = 0; i < n; ++i) {
      const HomVec4 p = HomVec4{c.x + sigma * gaussian(rng), c.y + sigma * gaussian(rng),
                                c.z + sigma * gaussian(rng), c.w + sigma * gaussian(rng)}
                            .normalize();
      cluster.radius = std::max(cluster.radius, kova_kernel::fsDistance(c, p));
      scene.positions.push_back((rng() & 1) != 0 ? scaled(p, -1.0) : p);
      scene.object.push_back(static_cast<std::int32_t>(k));
    }
    scene.clusters.push_back(cluster);
  }
  while (scene.positions.size() < count) {
    scene.positions.push_back(randomOnSphere(rng));
    scene.object.push_back(-1);
  }

  // Great circles that pass the camera at a few distances; the view shows each
  // as a straight line fading into the far bound.
  const float palette[4][3] = {
      {0.3f, 0.9f, 1.0f}, {1.0f, 0.4f, 0.9f}, {1.0f, 0.8f, 0.3f}, {0.5f, 1.0f, 0.5f}};
  for (int k = 0; k < 4; ++k) {
    double dx, dy, dz;
    directionAhead(rng, 0.3, dx, dy, dz);
    const HomVec4 a = atDistance(uniform(rng, 0.15, 0.5), dx, dy, dz);
    // b: a random direction orthogonal to a and to the eye, so that a is the
    // circle's point nearest to the eye.
    const double ex = gaussian(rng), ey = gaussian(rng), ez = 0.3 * gaussian(rng);
    const double n = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double along = (ex * dx + ey * dy + ez * dz) / (n * n);
    const HomVec4 b = HomVec4{ex - along * dx, ey - along * dy, ez - along * dz, 0.0}.normalize();
    GeodesicSet set;
    set.r = palette[k][0];
    set.g = palette[k][1];
    set.b = palette[k][2];
    constexpr int kArcs = 96;
    for (int i = 0; i < kArcs; ++i) {
      for (int end = 0; end < 2; ++end) {
        const double t = -std::numbers::pi / 2 + std::numbers::pi * (i + end) / kArcs;
        set.points.push_back(
            HomVec4{std::cos(t) * a.x + std::sin(t) * b.x, std::cos(t) * a.y + std::sin(t) * b.y,
                    std::cos(t) * a.z + std::sin(t) * b.z, std::cos(t) * a.w + std::sin(t) * b.w});
      }
    }
    scene.geodesics.push_back(std::move(set));
  }
  // Each cluster ahead of the camera joined to its nearest neighbour, like a constellation.
  GeodesicSet links;
  links.r = 0.75f;
  links.g = 0.85f;
  links.b = 1.0f;
  for (std::uint32_t k = 0; k < kClusters / 2; ++k) {
    std::uint32_t best = k;
    double best_d = 10.0;
    for (std::uint32_t j = 0; j < kClusters / 2; ++j) {
      const double d = kova_kernel::fsDistance(centers[k], centers[j]);
      if (j != k && d < best_d) best = j, best_d = d;
    }
    if (best != k) {
      links.points.push_back(centers[k]);
      links.points.push_back(centers[best]);
    }
  }
  scene.geodesics.push_back(std::move(links));
  return scene;
}

}  // namespace kova_demo
