#include "platform/crypto/HashFunction.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

std::string hex(const std::vector<uint8_t>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xf]);
  }
  return text;
}

TEST(HashFunctionTest, KnownDigests) {
  struct Case {
    const char* name;
    HashFunction::Algorithm algorithm;
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"sha256 of nothing", HashFunction::Algorithm::sha256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"sha256 of abc", HashFunction::Algorithm::sha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha1 of nothing", HashFunction::Algorithm::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"sha1 of abc", HashFunction::Algorithm::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      // What `git hash-object` prints for a file holding "hello\n".
      {"git blob id", HashFunction::Algorithm::sha1, std::string("blob 6\0hello\n", 13),
       "ce013625030ba8dba906f756967f9e9ca394464a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HashFunction hash(c.algorithm);
    hash.update(c.input);
    EXPECT_EQ(hex(hash.finalize()), c.digest);
    EXPECT_EQ(hash.finalize().size(), hash.digestSize());
  }
}

TEST(HashFunctionTest, PiecesGiveTheDigestOfTheWhole) {
  const std::string text = "The quick brown fox jumps over the lazy dog";
  auto whole = HashFunction::sha256();
  whole.update(text);
  auto pieces = HashFunction::sha256();
  for (size_t i = 0; i < text.size(); i += 5) pieces.update(text.substr(i, 5));
  pieces.update(nullptr, 0);
  EXPECT_EQ(pieces.finalize(), whole.finalize());
  EXPECT_EQ(hex(whole.finalize()), "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592");
}

TEST(HashFunctionTest, CopiesContinueFromThePrefixOnTheirOwn) {
  auto prefix = HashFunction::sha1();
  prefix.update("blob 6");
  prefix.update(std::string(1, '\0'));
  HashFunction first = prefix;
  HashFunction second(HashFunction::Algorithm::sha256);
  second = prefix;
  first.update("hello\n");
  second.update("world\n");
  EXPECT_EQ(hex(first.finalize()), "ce013625030ba8dba906f756967f9e9ca394464a");
  EXPECT_EQ(second.algorithm(), HashFunction::Algorithm::sha1);
  EXPECT_NE(second.finalize(), first.finalize());

  // The prefix itself is untouched and can still be finished or fed.
  auto alone = HashFunction::sha1();
  alone.update(std::string("blob 6\0", 7));
  EXPECT_EQ(prefix.finalize(), alone.finalize());
  prefix.update("hello\n");
  EXPECT_EQ(prefix.finalize(), first.finalize());

  HashFunction moved = std::move(first);
  EXPECT_EQ(hex(moved.finalize()), "ce013625030ba8dba906f756967f9e9ca394464a");
}

}  // namespace
}  // namespace platform
