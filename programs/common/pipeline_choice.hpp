// The rendering pipelines that light the lattice, as hosts name them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kova_demo {

// Tiled forward+ (kova_forward_plus.hpp) and tiled deferred shading
// (kova_deferred.hpp).
enum class PipelineChoice : std::uint8_t { forward_plus, deferred };
// "forward-plus" or "deferred".
[[nodiscard]] constexpr std::optional<PipelineChoice> parsePipelineChoice(
    std::string_view text) noexcept {
  if (text == "forward-plus") return PipelineChoice::forward_plus;
  if (text == "deferred") return PipelineChoice::deferred;
  return std::nullopt;
}
// "forward+" or "deferred", as reports show it.
[[nodiscard]] constexpr std::string_view pipelineName(PipelineChoice choice) noexcept {
  return choice == PipelineChoice::deferred ? "deferred" : "forward+";
}
// The words that name the choices, for messages.
inline constexpr std::string_view kPipelineChoicesText = "forward-plus or deferred";

}  // namespace kova_demo
