// The SHA256SUMS of an image folder: the digests a technician pinned the
// images with, read as `sha256sum -c` reads them. The file is the folder's
// input like any image, so every line is judged and nothing in it is
// trusted to be short, printable or well formed.
#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "images/images.h"
#include "platform/text.h"

namespace kestrune {

namespace {

constexpr size_t kDigestDigits = 64;
// How many names outside the catalogue, and malformed line numbers, are
// told; the rest are counted.
constexpr size_t kMostTold = 5;
constexpr size_t kMostNameShown = 64;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A name as sha256sum escapes it when the line starts with '\': "\\" and
// "\n" (and "\r"); false for any other escape.
bool Unescape(std::string_view name, std::string& out) {
  out.clear();
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '\\') {
      out.push_back(name[i]);
      continue;
    }
    if (++i == name.size()) return false;
    switch (name[i]) {
      case '\\':
        out.push_back('\\');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      default:
        return false;
    }
  }
  return true;
}

// "./163a2c\US.BIN" -> "163a2c/US.BIN": the spellings sha256sum keeps of
// a name given as "./..." or made on Windows.
std::string Normalized(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  while (name.rfind("./", 0) == 0) name.erase(0, 2);
  return name;
}

// One line's digest and name; false when it is not of either form.
bool ParseLine(std::string_view line, std::string& digest, std::string& name) {
  const bool escaped = !line.empty() && line.front() == '\\';
  if (escaped) line.remove_prefix(1);
  if (line.size() < kDigestDigits + 3 || line[kDigestDigits] != ' ' ||
      (line[kDigestDigits + 1] != ' ' && line[kDigestDigits + 1] != '*')) {
    return false;
  }
  digest.assign(line.substr(0, kDigestDigits));
  if (!std::all_of(digest.begin(), digest.end(),
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
    return false;
  }
  std::transform(digest.begin(), digest.end(), digest.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  const std::string_view rest = line.substr(kDigestDigits + 2);
  if (escaped) {
    if (!Unescape(rest, name)) return false;
  } else {
    name.assign(rest);
  }
  return true;
}

std::string Shown(const std::string& name) {
  std::string shown = platform::PrintableText(name.substr(0, kMostNameShown));
  if (name.size() > kMostNameShown) shown += "...";
  return shown;
}

}  // namespace

ListedSums ParseSums(std::string_view text) {
  ListedSums sums;
  sums.digests.resize(std::size(kCatalogue));
  std::vector<size_t> listedAt(std::size(kCatalogue), 0);
  std::vector<size_t> malformed;
  size_t outside = 0;
  size_t number = 0;
  std::string conflict;
  std::string digest;
  std::string name;
  while (!text.empty()) {
    ++number;
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!ParseLine(line, digest, name)) {
      malformed.push_back(number);
      continue;
    }
    name = Normalized(std::move(name));
    int entry = -1;
    for (int i = 0; i < static_cast<int>(std::size(kCatalogue)); ++i) {
      if (SameName(name, ImageName(i))) entry = i;
    }
    if (entry < 0) {
      if (outside++ < kMostTold) sums.outside.push_back(Shown(name));
      continue;
    }
    std::string& kept = sums.digests[static_cast<size_t>(entry)];
    if (kept.empty()) {
      kept = digest;
      listedAt[static_cast<size_t>(entry)] = number;
    } else if (kept != digest && conflict.empty()) {
      conflict = "it lists " + ImageName(entry) + " twice with two SHA-256s (lines " +
                 std::to_string(listedAt[static_cast<size_t>(entry)]) + " and " +
                 std::to_string(number) + ")";
    }
  }
  if (outside > kMostTold) {
    sums.outside.push_back("and " + std::to_string(outside - kMostTold) + " more");
  }
  if (!malformed.empty()) {
    std::string lines;
    for (size_t i = 0; i < malformed.size() && i < kMostTold; ++i) {
      lines += (i == 0 ? "" : ", ") + std::to_string(malformed[i]);
    }
    if (malformed.size() > kMostTold) {
      lines += " and " + std::to_string(malformed.size() - kMostTold) + " more";
    }
    sums.problem = std::string(malformed.size() == 1 ? "line " : "lines ") + lines +
                   (malformed.size() == 1 ? " is" : " are") +
                   " not of the form \"<64 hex digits>  <name>\", so what it pins is not known";
  } else {
    sums.problem = conflict;
  }
  return sums;
}

}  // namespace kestrune
