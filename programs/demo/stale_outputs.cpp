#include "stale_outputs.hpp"

#include <charconv>
#include <system_error>
#include <vector>

namespace kova_demo {

namespace fs = std::filesystem;

std::optional<OutputName> parseOutputName(std::string_view name) {
  if (name == "animation.png") return OutputName{OutputName::Kind::animation, 0};
  constexpr std::string_view kPrefix = "frame_";
  if (!name.starts_with(kPrefix)) return std::nullopt;
  name.remove_prefix(kPrefix.size());
  std::size_t digits = 0;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  // "%04u" pads to four digits and never writes a leading zero beyond them.
  if (digits < 4 || digits > 19 || (digits > 4 && name[0] == '0')) return std::nullopt;
  std::uint64_t frame = 0;
  std::from_chars(name.data(), name.data() + digits, frame);
  const std::string_view suffix = name.substr(digits);
  if (suffix == ".png") return OutputName{OutputName::Kind::frame, frame};
  if (suffix == ".txt" || suffix == ".depth.pfm" || suffix == ".kind.pgm")
    return OutputName{OutputName::Kind::check, frame};
  return std::nullopt;
}

bool isStaleOutput(std::string_view name, const RunOutputs& run) {
  const auto output = parseOutputName(name);
  if (!output) return false;
  switch (output->kind) {
    case OutputName::Kind::animation:
      return !run.animation;
    case OutputName::Kind::check:
      return !run.dump || output->frame >= run.frames;
    case OutputName::Kind::frame:
      return output->frame >= run.frames;
  }
  return false;
}

std::expected<std::size_t, std::string> removeStaleOutputs(const fs::path& dir,
                                                           const RunOutputs& run) {
  std::error_code ec;
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const auto kind = it->symlink_status(ec).type();
    if (ec) break;
    if ((kind == fs::file_type::regular || kind == fs::file_type::symlink) &&
        isStaleOutput(it->path().filename().string(), run))
      stale.push_back(it->path());
  }
  if (ec) return std::unexpected("cannot list " + dir.string() + ": " + ec.message());
  for (const fs::path& path : stale) {
    if (!fs::remove(path, ec) && ec)
      return std::unexpected("cannot remove " + path.string() + " of an earlier run: " +
                             ec.message());
  }
  return stale.size();
}

}  // namespace kova_demo
