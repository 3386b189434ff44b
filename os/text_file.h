#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "unique_resource.h"

namespace kq {

// Why a path is not opened for writing although the file system would let us: traced statements
// must not go where another local user can point them (a link) or read them (a file of theirs).
enum class FileRefusal { None, Link, NotRegular, OtherOwner };

// A text file written line by line, as the spool and save files are: each UTF-16 line is converted
// (Windows: the ANSI code page; POSIX: UTF-8) and ended by CR LF, with no byte-order mark. Lines are
// gathered in memory and written out when enough has piled up and on Close. On Windows other
// processes may read the file while it is open, never write it. Every operation returns 0 or the
// platform's error code; a path longer than 259 characters does not open. Opening refuses a link
// (a symbolic link; on Windows any reparse point), anything but a regular file, and a file owned by
// another user; a new file is readable by its owner only.
class TextFile {
 public:
  TextFile() = default;
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Opens for writing at the end, creating a missing file. An existing file with a Ctrl+Z (byte 26)
  // among its last 128 bytes is first cut at the first such byte, as old DOS tools ended text there.
  [[nodiscard]] int OpenAppend(std::u16string_view path);
  // Creates the file, or truncates it when it exists.
  [[nodiscard]] int Create(std::u16string_view path);
  [[nodiscard]] int WriteLine(std::u16string_view line);
  // Writes out what is buffered and closes; the file is closed even when that fails.
  [[nodiscard]] int Close();
  [[nodiscard]] bool IsOpen() const noexcept { return FFile.Valid(); }

  // What an error code of OpenAppend or Create says about the path, per platform.
  [[nodiscard]] static FileRefusal RefusalOf(int error) noexcept;
  // What an open would refuse at this path now, found without opening it; None for a missing file.
  [[nodiscard]] static FileRefusal Inspect(std::u16string_view path) noexcept;

  static constexpr std::size_t MaxPathLength = 259;

 private:
  struct FileTraits {
    using ValueType = std::intptr_t;
    static constexpr ValueType Invalid() noexcept { return -1; }
    // Per platform: 0 or the platform's error code, which Close reports (the handle template drops it).
    static int Close(ValueType file) noexcept;
  };

  // Per platform: open (append or truncate, with the Ctrl+Z cut), write all bytes, encode.
  int OpenFile(std::u16string_view path, bool append);
  static int WriteAll(std::intptr_t file, const std::string& bytes) noexcept;
  // Appends the line in the file's encoding to FPending.
  void Encode(std::u16string_view line);
  int Flush() noexcept;
  // Closes a file that was opened but refused; returns `error`.
  int ResetWith(int error) noexcept;

  UniqueResource<FileTraits> FFile;
  std::string FPending;
  int FError = 0;
};

}  // namespace kq
