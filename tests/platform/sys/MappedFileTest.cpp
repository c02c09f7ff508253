#include "platform/sys/MappedFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "platform/sys/FileError.h"
#include "platform/sys/FileHandle.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/StandardPaths.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

std::string text(const MappedFile& file) {
  return {reinterpret_cast<const char*>(file.data()), file.size()};
}

template <typename F>
void expectFileError(F&& call, int errnum, const std::filesystem::path& path) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.code(), errnum) << e.description();
    EXPECT_EQ(e.filePath(), path);
  }
}

class MappedFileTest : public ::testing::Test {
 protected:
  testsupport::TemporaryFolder folder_;
};

TEST_F(MappedFileTest, MapsRegularFilesAndReadsWhatCannotBeMapped) {
  std::ofstream(folder_ / "hello.bin") << "hello, mapped world";
  std::ofstream(folder_ / "empty.bin");
  struct Case {
    const char* name;
    std::filesystem::path path;
    bool mapped;
  };
  const Case cases[] = {
      {"regular file", folder_ / "hello.bin", true},
      {"empty file", folder_ / "empty.bin", false},
      // Reports size 0 but has content: read, not taken as empty.
      {"file under /proc", "/proc/self/cmdline", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = MappedFile::mapIfSafe(c.path);
    EXPECT_EQ(file->isMapped(), c.mapped);
    EXPECT_EQ(file->path(), c.path);
    std::ifstream in(c.path, std::ios::binary);
    EXPECT_EQ(text(*file), std::string(std::istreambuf_iterator<char>(in), {}));
  }
}

TEST_F(MappedFileTest, MappingOutlivesTheFileItsNameAndItsOtherHolders) {
  std::ofstream(folder_ / "gone.bin") << "still here";
  auto file = MappedFile::mapIfSafe(folder_ / "gone.bin");
  auto holder = file;
  file.reset();
  std::filesystem::remove(folder_ / "gone.bin");
  EXPECT_EQ(text(*holder), "still here");
}

TEST_F(MappedFileTest, FailuresNameTheFile) {
  expectFileError([&] { MappedFile::mapIfSafe(folder_ / "missing.wav"); }, ENOENT, folder_ / "missing.wav");
  std::filesystem::create_directory(folder_ / "folder.wav");
  expectFileError([&] { MappedFile::mapIfSafe(folder_ / "folder.wav"); }, EISDIR, folder_ / "folder.wav");
}

TEST_F(MappedFileTest, FileHandleWritesFromTheStartAndClosesOnce) {
  ASSERT_TRUE(createEmptyFile(folder_ / "out.raw"));
  {
    auto handle = FileHandle::forWritingAtPath(folder_ / "out.raw");
    const std::string a = "abc", b = "de";
    handle.write(std::as_bytes(std::span(a)));
    handle.write(std::as_bytes(std::span(b)));
    handle.synchronize();
    handle.close();
    handle.close();
    EXPECT_FALSE(handle.isOpen());
    expectFileError([&] { handle.write(std::as_bytes(std::span(a))); }, EBADF, folder_ / "out.raw");
  }
  EXPECT_EQ(readFile(folder_ / "out.raw"), "abcde");
  // Creating again empties it.
  ASSERT_TRUE(createEmptyFile(folder_ / "out.raw"));
  EXPECT_EQ(readFile(folder_ / "out.raw"), "");

  EXPECT_FALSE(createEmptyFile(folder_ / "no-such-folder" / "out.raw"));
  expectFileError([&] { FileHandle::forWritingAtPath(folder_ / "missing.raw"); }, ENOENT,
                  folder_ / "missing.raw");
}

TEST(StandardPathsTest, TemporaryDirectoryFollowsTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("TMPDIR", "/somewhere/else", 1);
  EXPECT_EQ(StandardPaths::temporaryDirectory(), "/somewhere/else");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(StandardPaths::temporaryDirectory(), "/tmp");
  unsetenv("TMPDIR");
  EXPECT_EQ(StandardPaths::temporaryDirectory(), "/tmp");
  if (previous) setenv("TMPDIR", previous->c_str(), 1);
}

}  // namespace
}  // namespace platform
