#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const fs::path kSourceRoot = VELTO_SOURCE_DIR;
const char* const kFolders[] = {"app", "DevadEvev", "voicememos"};
const char* const kMacWords[] = {"Mac", "Finder", "Apple", "システム設定", "⌘", "⌥"};

// One quoted text of a source file.
struct Quoted {
  std::string file;  // relative to the source root
  std::string text;  // with its quotes, as written
  bool operator<(const Quoted& other) const { return std::tie(file, text) < std::tie(other.file, other.text); }
};

// The string literals of `code`, comments and character literals skipped.
std::vector<std::string> literals(const std::string& code) {
  std::vector<std::string> found;
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (code.compare(i, 2, "//") == 0) {
      i = code.find('\n', i);
      if (i == std::string::npos) break;
    } else if (code.compare(i, 2, "/*") == 0) {
      i = code.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
    } else if (code[i] == '\'' || code[i] == '"') {
      const char quote = code[i];
      std::size_t end = i + 1;
      while (end < code.size() && code[end] != quote) end += code[end] == '\\' ? 2 : 1;
      if (quote == '"') found.push_back(code.substr(i, end - i + 1));
      i = end;
    }
  }
  return found;
}

std::set<Quoted> macTexts() {
  std::set<Quoted> found;
  for (const char* folder : kFolders) {
    for (const auto& entry : fs::recursive_directory_iterator(kSourceRoot / folder)) {
      const std::string extension = entry.path().extension().string();
      if (extension != ".cpp" && extension != ".h") continue;
      std::ifstream in(entry.path());
      const std::string code{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      for (const std::string& text : literals(code)) {
        for (const char* word : kMacWords) {
          if (text.find(word) != std::string::npos) {
            found.insert({fs::relative(entry.path(), kSourceRoot).string(), text});
          }
        }
      }
    }
  }
  return found;
}

std::set<Quoted> allowed() {
  std::set<Quoted> texts;
  std::ifstream in(kSourceRoot / "tests/app/Shell/shown-text-exceptions.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t first = line.find('|');
    const std::size_t second = line.find('|', first + 1);
    EXPECT_NE(second, std::string::npos) << "an exception gives its reason: " << line;
    if (second == std::string::npos) continue;
    texts.insert({line.substr(0, first), line.substr(first + 1, second - first - 1)});
  }
  return texts;
}

TEST(ShownTextsTest, LiteralsFindQuotedTextsOnly) {
  EXPECT_THAT(literals("f(\"a\\\"b\"); // \"c\"\n/* \"d\" */ g('\"', \"e\");"),
              ::testing::ElementsAre("\"a\\\"b\"", "\"e\""));
}

// Only the listed exceptions keep a word of the Mac in a text the application can show, and each
// exception is still in the source.
TEST(ShownTextsTest, NoTextSpeaksOfTheMac) {
  const std::set<Quoted> found = macTexts();
  const std::set<Quoted> exceptions = allowed();
  for (const Quoted& text : found) {
    EXPECT_TRUE(exceptions.count(text)) << text.file << ": " << text.text;
  }
  for (const Quoted& text : exceptions) {
    EXPECT_TRUE(found.count(text)) << "exception no longer needed: " << text.file << ": " << text.text;
  }
}

}  // namespace
