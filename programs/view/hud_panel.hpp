// The viewer's on-screen panel: lines of text in a small embedded bitmap font
// (5 x 7 pixels per glyph, drawn at twice that size), rasterised on the host
// and copied into the top left corner of the presented picture.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kova_view {

inline constexpr std::uint32_t kGlyphScale = 2;
inline constexpr std::uint32_t kCellWidth = 6 * kGlyphScale;    // glyph and a column of space
inline constexpr std::uint32_t kCellHeight = 10 * kGlyphScale;  // glyph and three rows of space
inline constexpr std::uint32_t kPanelPad = 6;

// A panel of 4-byte pixels, top row first, in the byte order of the picture
// it goes into (RGBA or BGRA), alpha 255.
struct Panel {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
};

// The panel's size for `lines` lines of `columns` characters.
[[nodiscard]] constexpr std::uint32_t panelWidth(std::uint32_t columns) noexcept {
  return columns * kCellWidth + 2 * kPanelPad;
}
[[nodiscard]] constexpr std::uint32_t panelHeight(std::uint32_t lines) noexcept {
  return lines * kCellHeight + 2 * kPanelPad;
}

// Light text on a dark panel as wide as the longest line. Characters outside
// printable ASCII show as '?'.
[[nodiscard]] Panel drawPanel(std::span<const std::string> lines, bool bgra);

}  // namespace kova_view
