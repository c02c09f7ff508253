// Copying a file through a temporary file beside the target, with real files, pipes and sparse
// files in a temporary folder.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FileIOCopyTest : public ::testing::Test {
 protected:
  fs::path from() const { return folder_ / "source"; }
  fs::path target() const { return folder_ / "copies" / "target.m4a"; }
  void SetUp() override { fs::create_directories(target().parent_path()); }

  testsupport::TemporaryFolder folder_;
};

TEST_F(FileIOCopyTest, CopiesEveryByteAndReplacesTheTarget) {
  std::string binary;
  for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i) binary.push_back(static_cast<char>(i * 7 % 256));
  const struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {{"empty", ""}, {"small", "abc\0def"}, {"larger than one block", binary}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(from(), c.bytes);
    writeBytes(target(), "old content");
    copyFileAtomically(from(), target());
    EXPECT_EQ(bytesOf(target()), c.bytes);
    EXPECT_EQ(bytesOf(from()), c.bytes);
    EXPECT_THAT(entries(target().parent_path()), ElementsAre("target.m4a"));
  }
}

TEST_F(FileIOCopyTest, SparseSourceKeepsItsLengthAndData) {
  // A few hundred megabytes of which only the ends hold data: streamed, never held in memory.
  constexpr off_t kLength = 300LL * 1024 * 1024;
  {
    std::ofstream out(from(), std::ios::binary);
    out << "head";
    out.seekp(kLength / 2);
    out << "middle";
    out.seekp(kLength - 4);
    out << "tail";
  }
  ASSERT_EQ(fs::file_size(from()), static_cast<std::uintmax_t>(kLength));
  copyFileAtomically(from(), target());
  ASSERT_EQ(fs::file_size(target()), static_cast<std::uintmax_t>(kLength));
  std::ifstream a(from(), std::ios::binary);
  std::ifstream b(target(), std::ios::binary);
  std::vector<char> left(1 << 20);
  std::vector<char> right(1 << 20);
  for (off_t at = 0; at < kLength; at += static_cast<off_t>(left.size())) {
    a.read(left.data(), static_cast<std::streamsize>(left.size()));
    b.read(right.data(), static_cast<std::streamsize>(right.size()));
    ASSERT_EQ(a.gcount(), b.gcount());
    ASSERT_TRUE(std::equal(left.begin(), left.begin() + a.gcount(), right.begin())) << "at " << at;
  }
}

TEST_F(FileIOCopyTest, PipeIsCopiedUpToItsEnd) {
  ASSERT_EQ(::mkfifo(from().c_str(), 0600), 0);
  std::thread writer([&] { writeBytes(from(), std::string(200000, 'p')); });
  copyFileAtomically(from(), target());
  writer.join();
  EXPECT_EQ(bytesOf(target()), std::string(200000, 'p'));
}

TEST_F(FileIOCopyTest, CopyOntoItselfThroughALinkLeavesItWhole) {
  writeBytes(target(), "recording");
  fs::create_symlink(target(), from());
  copyFileAtomically(from(), target());
  EXPECT_EQ(bytesOf(target()), "recording");
  copyFileAtomically(target(), target());
  EXPECT_EQ(bytesOf(target()), "recording");
}

TEST_F(FileIOCopyTest, FailureKeepsTheOldTargetAndLeavesNoTemporaryFile) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::function<void()> undo;
    fs::path named;  // the path the error names
    int code;
  };
  rlimit unlimited{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const Case cases[] = {
      {"missing source", [&] { fs::remove(from()); }, [] {}, from(), ENOENT},
      {"source is a folder", [&] { fs::remove(from()); fs::create_directory(from()); }, [&] { fs::remove(from()); },
       from(), EISDIR},
      {"full disk", [&] {
         writeBytes(from(), std::string(256 * 1024, 'x'));
         std::signal(SIGXFSZ, SIG_IGN);
         const rlimit full{64 * 1024, unlimited.rlim_max};
         ::setrlimit(RLIMIT_FSIZE, &full);
       }, [&] { ::setrlimit(RLIMIT_FSIZE, &unlimited); }, target().parent_path(), EFBIG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(from(), "new");
    writeBytes(target(), "old content");
    c.prepare();
    try {
      copyFileAtomically(from(), target());
      c.undo();
      ADD_FAILURE() << "no error";
    } catch (const FileError& error) {
      c.undo();
      EXPECT_EQ(error.code(), c.code);
      EXPECT_THAT(error.what(), HasSubstr(c.named.string()));
    }
    EXPECT_EQ(bytesOf(target()), "old content");
    EXPECT_THAT(entries(target().parent_path()), ElementsAre("target.m4a"));
  }
}

TEST_F(FileIOCopyTest, MissingTargetFolderIsAnError) {
  writeBytes(from(), "x");
  EXPECT_THROW(copyFileAtomically(from(), folder_ / "nowhere" / "t.m4a"), FileError);
  EXPECT_FALSE(fs::exists(folder_ / "nowhere"));
}

}  // namespace
}  // namespace platform
