#include "torso_file/text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tavrino::torso_text {

namespace {

constexpr std::size_t kLargestFile = std::size_t{1} << 20;  // bytes; a torso takes a few kilobytes

// The length of the well-formed UTF-8 sequence at text[i] (no overlong
// forms, surrogates or code points past U+10FFFF), or 0 where none starts.
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
  const auto continues = [](unsigned value, unsigned low = 0x80, unsigned high = 0xbf) {
    return low <= value && value <= high;
  };
  const unsigned lead = byte(i);
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return continues(byte(i + 1)) ? 2 : 0;
  if (lead >= 0xe0 && lead <= 0xef) {
    const unsigned low = lead == 0xe0 ? 0xa0 : 0x80;
    const unsigned high = lead == 0xed ? 0x9f : 0xbf;
    return continues(byte(i + 1), low, high) && continues(byte(i + 2)) ? 3 : 0;
  }
  if (lead >= 0xf0 && lead <= 0xf4) {
    const unsigned low = lead == 0xf0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xf4 ? 0x8f : 0xbf;
    return continues(byte(i + 1), low, high) && continues(byte(i + 2)) && continues(byte(i + 3)) ? 4 : 0;
  }
  return 0;
}

// Characters that would act on a terminal, or reorder or hide text, rather
// than show: control characters, format characters such as the bidirectional
// overrides, the line and paragraph separators, and the surrogates that stand
// for bytes of a file name that are not UTF-8.
bool unprintable(char32_t c) {
  constexpr std::array<std::pair<char32_t, char32_t>, 24> kFormat = {{
      {0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},     {0x6dd, 0x6dd},     {0x70f, 0x70f},
      {0x890, 0x891},     {0x8e2, 0x8e2},     {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x202e},
      {0x2060, 0x2064},   {0x2066, 0x206f},   {0xd800, 0xdfff},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},
      {0x110bd, 0x110bd}, {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},
      {0xe0001, 0xe0001}, {0xe0020, 0xe007f}, {0x0, 0x1f},        {0x7f, 0x9f},
  }};
  return std::any_of(kFormat.begin(), kFormat.end(), [c](const auto& range) {
    return range.first <= c && c <= range.second;
  });
}

// Where in the text a byte lies, as "(at line L, column C)", both counted from
// 1 and the column in bytes.
std::string byte_position(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, offset);
  const auto line = std::count(before.begin(), before.end(), '\n') + 1;
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column = line_start == std::string_view::npos ? offset + 1 : offset - line_start;
  return printed("(at line %zu, column %zu)", static_cast<std::size_t>(line), column);
}

// The offset of the first byte that does not start a well-formed UTF-8
// sequence, or npos for UTF-8 text.
std::size_t first_invalid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_sequence(text, i);
    if (length == 0) return i;
    i += length;
  }
  return std::string_view::npos;
}

// Keys of more dotted parts, more characters or in greater number than any
// torso file holds are refused before the TOML parser runs, as the Python
// reader refuses them before its parser (whose time grows with the square of
// a dotted key's parts): a file is refused alike by both, with the same message.
constexpr int kMostKeyParts = 8;
constexpr std::size_t kLongestKey = 100;  // characters
constexpr int kMostKeys = 10'000;

// The tokens that matter to keys: strings and comments (whole, so that nothing
// in them counts), words and quoted names (the parts of a key, or values),
// dots, "=" and brackets; "other" is any other single character.
enum class Token { string, word, space, comment, newline, dot, equals, open, close, other };

// The length of the string that starts at text[i], or 0: a multi-line string
// (with up to two more quotes after its closing three), else a one-line string.
std::size_t string_length(std::string_view text, std::size_t i) {
  const std::size_t n = text.size();
  const auto closing = [&](std::size_t k, char quote) {  // past the closing quotes and up to two more
    for (int extra = 0; extra < 2 && k < n && text[k] == quote; ++extra) ++k;
    return k - i;
  };
  if (text.substr(i, 3) == R"(""")") {
    for (std::size_t k = i + 3; k < n;) {
      if (text.substr(k, 3) == R"(""")") return closing(k + 3, '"');
      if (text[k] == '\\' && k + 1 == n) break;
      k += text[k] == '\\' ? 2 : 1;
    }
  }
  if (text.substr(i, 3) == "'''") {
    const std::size_t end = text.find("'''", i + 3);
    if (end != std::string_view::npos) return closing(end + 3, '\'');
  }
  if (text[i] == '"') {
    std::size_t k = i + 1;
    while (k < n && text[k] != '"' && text[k] != '\n' && !(text[k] == '\\' && k + 1 == n)) k += text[k] == '\\' ? 2 : 1;
    if (k < n && text[k] == '"') return k + 1 - i;
  }
  if (text[i] == '\'') {
    const std::size_t end = text.find_first_of("'\n", i + 1);
    if (end != std::string_view::npos && text[end] == '\'') return end + 1 - i;
  }
  return 0;
}

std::pair<Token, std::size_t> next_token(std::string_view text, std::size_t i) {
  if (const std::size_t length = string_length(text, i)) return {Token::string, length};
  const auto run = [&](auto belongs) {
    std::size_t k = i;
    while (k < text.size() && belongs(text[k])) ++k;
    return k - i;
  };
  const auto word = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
           c == ':' || c == '-';
  };
  if (word(text[i])) return {Token::word, run(word)};
  if (text[i] == ' ' || text[i] == '\t') return {Token::space, run([](char c) { return c == ' ' || c == '\t'; })};
  if (text[i] == '#') return {Token::comment, run([](char c) { return c != '\n'; })};
  if (text[i] == '\n') return {Token::newline, 1};
  if (text.substr(i, 2) == "\r\n") return {Token::newline, 2};
  switch (text[i]) {
    case '.': return {Token::dot, 1};
    case '=': return {Token::equals, 1};
    case '[': return {Token::open, 1};
    case ']': return {Token::close, 1};
    default: return {Token::other, 1};
  }
}

std::string at_line(std::string_view text, std::size_t offset) {
  return printed(" (at line %zu)", static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n')) + 1);
}

// A chain of words and names joined by dots is a key when "=" follows it or a
// table header's brackets hold it; in a value a chain has at most two parts (a
// number's).
void check_keys(std::string_view text) {
  int parts = 0;
  int keys = 0;
  std::size_t start = 0;
  bool after_dot = false;
  bool header = false;
  bool in_value = false;
  bool line_start = true;
  int nesting = 0;  // of the brackets and braces of a value
  for (std::size_t i = 0; i < text.size();) {
    const auto [token, length] = next_token(text, i);
    if (token == Token::space) {
      i += length;
      continue;
    }
    if (token == Token::word || token == Token::string) {
      if (!after_dot) {
        parts = 0;
        start = i;
      }
      ++parts;
      after_dot = false;
      if (parts > kMostKeyParts) {
        refuse(printed("a key of more than %d dotted parts", kMostKeyParts) + at_line(text, start));
      }
    } else if (token == Token::dot && parts > 0 && !after_dot) {
      after_dot = true;
    } else {
      if (parts > 0 && !after_dot && (token == Token::equals || (token == Token::close && header))) {
        ++keys;
        // In characters, as Python counts them: the bytes that start one.
        const auto characters = std::count_if(text.begin() + start, text.begin() + i, [](char c) {
          return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
        });
        if (static_cast<std::size_t>(characters) > kLongestKey) {
          refuse(printed("a key longer than %zu characters", kLongestKey) + at_line(text, start));
        }
        if (keys > kMostKeys) {
          refuse(printed("more than %d keys, far more than a torso file holds", kMostKeys) + at_line(text, start));
        }
      }
      parts = 0;
      after_dot = false;
      const char c = text[i];
      if (in_value) {
        nesting += (c == '[' || c == '{') - (c == ']' || c == '}');
        in_value = nesting > 0 || (token != Token::newline && token != Token::comment);
      } else {
        in_value = token == Token::equals;
        header = token == Token::open && (line_start || header);
      }
    }
    line_start = token == Token::newline;
    i += length;
  }
}

[[noreturn]] void unreadable(int error) { refuse(std::string("cannot be read: ") + std::strerror(error)); }

}  // namespace

[[noreturn]] void refuse(std::string message) { throw DescriptionError(message); }

[[gnu::format(printf, 1, 2)]] std::string printed(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  const int size = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
  std::vsnprintf(result.data(), result.size() + 1, format, again);
  va_end(again);
  return result;
}

std::string escaped(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_sequence(text, i);
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t c = length == 0 ? 0xdc00 + lead : length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    if (c == '\n') {
      result += "\\n";
    } else if (c == '\r') {
      result += "\\r";
    } else if (c == '\t') {
      result += "\\t";
    } else if (unprintable(c)) {
      result += c < 0x100 ? printed("\\x%02x", unsigned{c}) : c < 0x10000 ? printed("\\u%04x", unsigned{c})
                                                                          : printed("\\U%08x", unsigned{c});
    } else {
      result.append(text.substr(i, length));
    }
    i += std::max<std::size_t>(length, 1);
  }
  return result;
}

std::string read_bytes(const std::filesystem::path& path) {
  // The system would read the name only up to the null character: another file.
  if (path.native().find('\0') != std::string::npos) {
    refuse("cannot be read: a file name cannot hold a null character");
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) unreadable(errno);
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) refuse("cannot be read: not a regular file");
  if (S_ISDIR(info.st_mode)) unreadable(EISDIR);
  // Without blocking, and checked again once open: the path may have been
  // replaced since.
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) unreadable(errno);
  struct Closer {
    int file;
    ~Closer() { ::close(file); }
  } closer{file};
  if (::fstat(file, &info) != 0) unreadable(errno);
  if (S_ISDIR(info.st_mode)) unreadable(EISDIR);
  if (!S_ISREG(info.st_mode)) refuse("cannot be read: not a regular file");
  std::string data(kLargestFile + 1, '\0');
  std::size_t size = 0;
  while (size < data.size()) {
    const ssize_t count = ::read(file, data.data() + size, data.size() - size);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) unreadable(errno);
    if (count == 0) break;
    size += static_cast<std::size_t>(count);
  }
  data.resize(size);
  return data;
}

void check_text(std::string_view text) {
  if (text.size() > kLargestFile) {
    refuse(printed("cannot be read: larger than %zu KB, too large for a torso file", kLargestFile / 1024));
  }
  if (const std::size_t invalid = first_invalid_utf8(text); invalid != std::string_view::npos) {
    refuse("not valid TOML: not UTF-8 text " + byte_position(text, invalid));
  }
  check_keys(text);
  // toml++ skips a byte order mark, which the TOML standard does not allow
  // and Python's reader refuses.
  if (text.starts_with("\xef\xbb\xbf")) refuse("not valid TOML: a byte order mark (at line 1, column 1)");
}

}  // namespace tavrino::torso_text
