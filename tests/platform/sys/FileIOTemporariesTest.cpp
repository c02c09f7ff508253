// The temporary files of the atomic writes: their name form, the replacement through a writer of
// the caller's, and the sweep of those a dead process left behind.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> entriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileIOTemporariesTest, NameFormIsExactlyOurs) {
  struct Case {
    const char* name;
    bool ours;
  };
  const Case cases[] = {
      {".0123456789abcdef.tmp", true},  {".ffffffffffffffff.tmp", true},
      {".0123456789ABCDEF.tmp", false}, {".0123456789abcde.tmp", false},
      {".0123456789abcdef0.tmp", false}, {"0123456789abcdef.tmp", false},
      {".0123456789abcdeg.tmp", false}, {".0123456789abcdef.TMP", false},
      {".0123456789abcdef.tmp.json", false}, {"notes.tmp", false},
      {".tmp", false},                  {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isTemporaryFileName(c.name), c.ours);
  }
}

TEST(FileIOTemporariesTest, ReplaceThroughAWriterTakesTheNewFileOrKeepsTheOld) {
  testsupport::TemporaryFolder folder;
  const fs::path target = folder / "a.m4a";
  writeBytes(target, "old");

  fs::path given;
  replaceFileAtomically(target, [&](const fs::path& temporary) {
    given = temporary;
    EXPECT_EQ(fs::file_size(temporary), 0u);
    writeBytes(temporary, "new");
  });
  EXPECT_EQ(given.parent_path(), folder.path());
  // The sweep knows the form of every temporary file we make.
  EXPECT_TRUE(isTemporaryFileName(given.filename().string())) << given;
  EXPECT_EQ(bytesOf(target), "new");
  EXPECT_EQ(entriesOf(folder.path()), std::vector<std::string>{"a.m4a"});

  EXPECT_THROW(replaceFileAtomically(target,
                                     [](const fs::path& temporary) {
                                       writeBytes(temporary, "half");
                                       throw std::runtime_error("writer failed");
                                     }),
               std::runtime_error);
  EXPECT_EQ(bytesOf(target), "new");
  EXPECT_EQ(entriesOf(folder.path()), std::vector<std::string>{"a.m4a"});

  EXPECT_THROW(replaceFileAtomically(folder / "missing" / "a.m4a", [](const fs::path&) {}), FileError);
}

TEST(FileIOTemporariesTest, SweepRemovesOnlyOurTemporaryFilesOlderThanTheAge) {
  testsupport::TemporaryFolder folder;
  testsupport::TemporaryFolder elsewhere;
  writeBytes(elsewhere / "target", "somebody's file");
  struct Case {
    const char* name;
    std::string content;  // empty: a folder or a link, see below
    int ageSeconds;
    bool removed;
  };
  const Case cases[] = {
      {".0123456789abcdef.tmp", "left by a killed write", 120, true},
      {".fedcba9876543210.tmp", "left by a killed copy, a large one", 3600, true},
      {".00000000000000aa.tmp", "being written right now", 10, false},
      {".0123456789ABCDEF.tmp", "not our form", 3600, false},
      {"upload.tmp", "a user's temporary file", 3600, false},
      {"C0FFEE00-0000-4000-8000-000000000001.json", "{}", 3600, false},
      {"2025-03-05 1407 会議.md", "# 会議", 3600, false},
      {"C0FFEE00-0000-4000-8000-000000000001.m4a", "audio", 3600, false},
  };
  std::uintmax_t removedBytes = 0;
  for (const Case& c : cases) {
    writeBytes(folder / c.name, c.content);
    testsupport::makeOlder(folder / c.name, c.ageSeconds);
    if (c.removed) removedBytes += c.content.size();
  }
  // A folder and a link named like ours are not files of ours.
  fs::create_directory(folder / ".1111111111111111.tmp");
  testsupport::makeOlder(folder / ".1111111111111111.tmp", 3600);
  fs::create_symlink(elsewhere / "target", folder / ".2222222222222222.tmp");
  testsupport::makeOlder(folder / ".2222222222222222.tmp", 3600);

  const RemovedFiles removed = removeStaleTemporaryFiles(folder.path(), std::chrono::seconds(60));
  EXPECT_EQ(removed.count, 2u);
  EXPECT_EQ(removed.bytes, removedBytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(!fs::exists(folder / c.name), c.removed);
  }
  EXPECT_TRUE(fs::is_directory(folder / ".1111111111111111.tmp"));
  EXPECT_TRUE(fs::is_symlink(folder / ".2222222222222222.tmp"));
  EXPECT_EQ(bytesOf(elsewhere / "target"), "somebody's file");

  const RemovedFiles none = removeStaleTemporaryFiles(folder / "missing", std::chrono::seconds(60));
  EXPECT_EQ(none.count, 0u);
}

}  // namespace
}  // namespace platform
