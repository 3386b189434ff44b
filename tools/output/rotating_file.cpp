#include "rotating_file.h"

#include <stdexcept>
#include <system_error>

namespace kqtool {

RotatingFile::RotatingFile(const std::string& utf8Path, std::uint64_t maxBytes, int keep)
    : FPath(std::u8string(utf8Path.begin(), utf8Path.end())), FMaxBytes(maxBytes), FKeep(keep < 0 ? 0 : keep) {
  Open();
  if (!FFile) throw std::runtime_error("cannot open " + utf8Path + " for writing");
}

std::filesystem::path RotatingFile::PathOf(int generation) const {
  if (generation == 0) return FPath;
  std::filesystem::path path = FPath;
  path += "." + std::to_string(generation);
  return path;
}

void RotatingFile::Open() {
  FFile.open(FPath, std::ios::binary | std::ios::app);
  std::error_code error;
  const auto size = std::filesystem::file_size(FPath, error);
  FSize = error ? 0 : static_cast<std::uint64_t>(size);
}

bool RotatingFile::Rotate() {
  FFile.close();
  std::error_code ignored;
  std::filesystem::remove(PathOf(FKeep), ignored);
  for (int generation = FKeep; generation > 1; --generation)
    std::filesystem::rename(PathOf(generation - 1), PathOf(generation), ignored);
  if (FKeep > 0)
    std::filesystem::rename(FPath, PathOf(1), ignored);
  else
    std::filesystem::remove(FPath, ignored);
  Open();
  return static_cast<bool>(FFile);
}

bool RotatingFile::WriteRaw(std::string_view bytes) {
  FFile.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FSize += bytes.size();
  return static_cast<bool>(FFile);
}

bool RotatingFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (FMaxBytes == 0 || FSize + bytes.size() <= FMaxBytes) {
      if (!WriteRaw(bytes)) return false;
      break;
    }
    // What still fits, up to its last whole line; else the first line by itself in a fresh file.
    const std::size_t room = FSize < FMaxBytes ? static_cast<std::size_t>(FMaxBytes - FSize) : 0;
    std::size_t cut = room ? bytes.rfind('\n', room - 1) : std::string_view::npos;
    if (cut == std::string_view::npos && FSize == 0) cut = bytes.find('\n');
    if (cut != std::string_view::npos) {
      if (!WriteRaw(bytes.substr(0, cut + 1))) return false;
      bytes.remove_prefix(cut + 1);
      if (bytes.empty()) break;
    } else if (FSize == 0) {
      return WriteRaw(bytes) && FFile.flush();  // one unfinished line longer than the limit
    }
    if (!Rotate()) return false;
  }
  return static_cast<bool>(FFile.flush());
}

}  // namespace kqtool
