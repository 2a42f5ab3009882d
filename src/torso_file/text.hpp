#pragma once

// The text of a torso file before its fields are read: the file read from the
// file system, the checks on it as text (its size, UTF-8, keys beyond any
// torso's), and how messages show what a file holds. Every problem is a
// DescriptionError whose message does not yet name the file.

#include <tavrino/torso_file.hpp>

#include <filesystem>
#include <string>
#include <string_view>

namespace tavrino::torso_text {

[[noreturn]] void refuse(std::string message);

// std::snprintf into a string.
[[gnu::format(printf, 1, 2)]] std::string printed(const char* format, ...);

// The text with every character that would not show as itself written as an
// escape (\n, \x1b, \u202e, ...), as the Python reader shows what a file or a
// file name holds: on one line, and harmless to a terminal. A byte that is not
// UTF-8 shows as the surrogate Python decodes it to (\udcXX).
std::string escaped(std::string_view text);

// At most one byte more than a torso file may hold, from a regular file; a
// FIFO would block the open and a device never end.
std::string read_bytes(const std::filesystem::path& path);

// Refuses a text of more than 1 MB, one that is not UTF-8, one that starts
// with a byte order mark, and one with keys of more dotted parts, more
// characters or in greater number than any torso file holds.
void check_text(std::string_view text);

}  // namespace tavrino::torso_text
