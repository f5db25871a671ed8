// SHA-256 as the host's digest service computes it (libcrypto on POSIX,
// BCrypt on Windows), over pieces taken one after another.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

std::string Hex(const Sha256Digest& digest) {
  std::string text;
  for (uint8_t byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

struct DigestCase {
  const char* label;
  std::vector<std::string> pieces;
  const char* digest;
};
void PrintTo(const DigestCase& c, std::ostream* os) { *os << c.label; }

class Sha256Test : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Sha256Test, DigestsThePiecesAsOneText) {
  std::vector<std::span<const uint8_t>> pieces;
  for (const std::string& piece : GetParam().pieces) pieces.push_back(Bytes(piece));
  const std::optional<Sha256Digest> digest = Sha256(pieces);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(Hex(*digest), GetParam().digest);
}

// Published test vectors; the split shows that pieces are not hashed apart.
INSTANTIATE_TEST_SUITE_P(
    Vectors, Sha256Test,
    ::testing::Values(
        DigestCase{
            "nothing", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestCase{"abc_in_two_pieces",
                   {"a", "", "bc"},
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestCase{"two_blocks",
                   {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"},
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kestrune::platform
