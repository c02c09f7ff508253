#include "speech/Shared/Download/ModelCache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "platform/sys/FileError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"
#include "tests/support/HubFake.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::FileError;
using testsupport::HubFake;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Kind = RemoteFile::ContentID::Kind;

void write(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every item below `root` (links as themselves), as sorted relative paths.
std::set<std::string> tree(const fs::path& root) {
  std::set<std::string> items;
  if (!fs::exists(fs::symlink_status(root))) return items;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    items.insert(it->path().lexically_relative(root).generic_string());
  }
  return items;
}

// The error thrown by `body`, seen as an Error record; fails the test when nothing is thrown.
template <typename Body>
std::shared_ptr<const platform::Error> thrown(Body body) {
  try {
    body();
  } catch (...) {
    if (auto record = platform::Error::recordOf(std::current_exception())) return record;
    ADD_FAILURE() << "not an Error";
    return nullptr;
  }
  ADD_FAILURE() << "nothing thrown";
  return nullptr;
}

class ModelCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  fs::path repo() const { return folder_ / "Models" / "repo"; }

  // "info: <message>" or "error: <message>" (warnings are error records) of the delivery logger.
  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    for (const auto& record : log_.records()) {
      if (record.category != "DownloadUtils") continue;
      const char* level = record.level == platform::SystemLog::Level::info ? "info" : "error";
      lines.push_back(std::string(level) + ": " + record.message);
    }
    return lines;
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
};

// --- Revision marker -------------------------------------------------------------------------

TEST_F(ModelCacheTest, PrepareForDownloadKeepsOrWipesByMarker) {
  struct Case {
    const char* name;
    std::optional<std::string> marker;  // none: no marker file
    std::string revision;
    bool kept;
    std::optional<std::string> markerAfter;
  };
  const Case cases[] = {
      {"same revision with line feed and blanks", "abc123\n  \n", "abc123", true, "abc123\n  \n"},
      {"letter case differs", "ABC123\n", "abc123", false, "abc123\n"},
      {"another revision", "def456\n", "abc123", false, "abc123\n"},
      {"marker not UTF-8", "abc\xff\n", "abc\xff", false, "abc\xff\n"},
      {"pinned without marker", std::nullopt, "abc123", false, "abc123\n"},
      {"main with an old marker", "abc123\n", "main", false, std::nullopt},
      {"main without marker", std::nullopt, "main", true, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(repo());
    write(repo() / "model.mlmodelc/coremldata.bin", "m");
    if (c.marker) write(repo() / ModelCache::kRevisionMarkerName, *c.marker);

    ModelCache::prepareForDownload(repo(), c.revision);

    EXPECT_EQ(fs::exists(repo() / "model.mlmodelc/coremldata.bin"), c.kept);
    if (c.markerAfter) {
      EXPECT_EQ(read(repo() / ModelCache::kRevisionMarkerName), *c.markerAfter);
    } else {
      EXPECT_FALSE(fs::exists(repo() / ModelCache::kRevisionMarkerName));
    }
    if (!c.kept) {  // a wiped folder holds the marker alone, no temporary files
      EXPECT_EQ(tree(repo()).size(), c.markerAfter ? 1u : 0u);
    }
  }
}

TEST_F(ModelCacheTest, PrepareForDownloadCreatesAbsentFolders) {
  ModelCache::prepareForDownload(folder_ / "a/b/pinned", "abc123");
  EXPECT_THAT(tree(folder_ / "a/b/pinned"), ElementsAre(ModelCache::kRevisionMarkerName));
  ModelCache::prepareForDownload(folder_ / "a/b/main", "main");
  EXPECT_TRUE(fs::is_directory(folder_ / "a/b/main"));
  EXPECT_THAT(tree(folder_ / "a/b/main"), IsEmpty());
}

TEST_F(ModelCacheTest, PrepareForDownloadPassesFileSystemErrors) {
  write(folder_ / "blocker", "x");
  auto error = thrown([&] { ModelCache::prepareForDownload(folder_ / "blocker/repo", "abc123"); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "POSIX");
  EXPECT_EQ(read(folder_ / "blocker"), "x");
}

TEST_F(ModelCacheTest, PrepareForDownloadRemovesALinkNotItsTarget) {
  write(folder_ / "elsewhere/keep.bin", "k");
  fs::create_directories(repo().parent_path());
  fs::create_directory_symlink(folder_ / "elsewhere", repo());
  ModelCache::prepareForDownload(repo(), "abc123");
  EXPECT_FALSE(fs::is_symlink(repo()));
  EXPECT_EQ(read(folder_ / "elsewhere/keep.bin"), "k");
  EXPECT_EQ(read(repo() / ModelCache::kRevisionMarkerName), "abc123\n");
}

// --- Completeness ----------------------------------------------------------------------------

TEST_F(ModelCacheTest, IncompleteFilesJudgesBundlesAndPlainNames) {
  write(repo() / "Good.mlmodelc/coremldata.bin", "c");
  write(repo() / "Good.mlmodelc/weights/weight.bin", "w");
  write(repo() / "Good.mlmodelc/weights/weight.bin.partial.etag", "\"e\"");
  write(repo() / "Partial.mlmodelc/coremldata.bin", "c");
  write(repo() / "Partial.mlmodelc/weights/weight.bin.partial", "w");
  write(repo() / "NoMarker.mlmodelc/model.onnx", "o");
  write(repo() / "File.mlmodelc", "not a folder");
  write(repo() / "vocab.json", "{}");
  fs::create_directories(repo() / "tokenizer");

  const std::set<std::string> required{"vocab.json",        "tokenizer",        "absent.json",     "Good.mlmodelc",
                                       "Partial.mlmodelc",  "NoMarker.mlmodelc", "File.mlmodelc",  "Missing.mlmodelc"};
  EXPECT_THAT(ModelCache::incompleteFiles(repo(), required),
              ElementsAre("File.mlmodelc", "Missing.mlmodelc", "NoMarker.mlmodelc", "Partial.mlmodelc", "absent.json"));
  EXPECT_FALSE(ModelCache::isCacheComplete(repo(), required));
  EXPECT_TRUE(ModelCache::isCacheComplete(repo(), {"vocab.json", "tokenizer", "Good.mlmodelc"}));
  EXPECT_TRUE(ModelCache::isCacheComplete(repo(), {}));

  fs::remove(repo() / "Partial.mlmodelc/weights/weight.bin.partial");
  EXPECT_TRUE(ModelCache::isCacheComplete(repo(), {"Partial.mlmodelc"}));
}

TEST_F(ModelCacheTest, BundleWrittenByTheModelBuilderIsComplete) {
  testsupport::ModelBuilder builder("Encoder");
  builder.input("x", testsupport::ElementType::float32, {1, 2})
      .output("y", testsupport::ElementType::float32, {1, 2})
      .node("Identity", {"x"}, {"y"});
  builder.writeBundle(repo());
  EXPECT_NO_THROW(ModelCache::validateCompiledModelLayout(repo() / "Encoder.mlmodelc", "Encoder.mlmodelc"));
  EXPECT_TRUE(ModelCache::isCacheComplete(repo(), {"Encoder.mlmodelc"}));
}

TEST_F(ModelCacheTest, MissingModelsAreSortedAndTheFirstIsReported) {
  write(repo() / "present.bin", "p");
  const std::set<std::string> models{"present.bin", "b.mlmodelc", "a.bin"};
  EXPECT_THAT(ModelCache::missingModels(repo(), models), ElementsAre("a.bin", "b.mlmodelc"));
  try {
    ModelCache::verifyModelsPresent(repo(), models);
    FAIL() << "nothing thrown";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::modelNotFound);
    EXPECT_EQ(error.path(), "a.bin");
  }
  EXPECT_NO_THROW(ModelCache::verifyModelsPresent(repo(), {"present.bin"}));
}

TEST_F(ModelCacheTest, CompiledModelLayoutErrorsComeInOrder) {
  write(repo() / "Plain.mlmodelc", "x");
  fs::create_directories(repo() / "Empty.mlmodelc");
  struct Case {
    const char* name;
    fs::path errorPath;
    int code;
    const char* description;
  };
  const Case cases[] = {
      {"Absent.mlmodelc", repo() / "Absent.mlmodelc", 4, "Model file not found: Absent.mlmodelc"},
      {"Plain.mlmodelc", repo() / "Plain.mlmodelc", 259, "Model path is not a directory: Plain.mlmodelc"},
      {"Empty.mlmodelc", repo() / "Empty.mlmodelc/coremldata.bin", 259,
       "Missing coremldata.bin in model: Empty.mlmodelc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto error = thrown([&] { ModelCache::validateCompiledModelLayout(repo() / c.name, c.name); });
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), FileError::kCocoaDomain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->description(), c.description);
    EXPECT_EQ(error->filePath(), c.errorPath);
  }
  EXPECT_THAT(logLines(), ElementsAre("error: Missing coremldata.bin in Empty.mlmodelc"));
}

// --- Purges and folder creation --------------------------------------------------------------

TEST_F(ModelCacheTest, PurgeCorruptedFilesRemovesEntriesAndTheirPartials) {
  write(repo() / "Encoder.mlmodelc/coremldata.bin", "c");
  write(repo() / "Encoder.mlmodelc.partial", "p");
  write(repo() / "vocab.json.partial", "p");
  write(repo() / "vocab.json.partial.etag", "e");
  write(repo() / "keep.bin", "k");
  write(repo() / "blocker", "b");

  ModelCache::purgeCorruptedFiles({"Encoder.mlmodelc", "vocab.json", "nothing.bin"}, repo());

  EXPECT_THAT(tree(repo()), ElementsAre("blocker", "keep.bin"));
  const std::string at = repo().string();
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "info: Deleted corrupted cache entry at " + at + "/Encoder.mlmodelc");
  EXPECT_EQ(lines[1], "info: Deleted corrupted cache entry at " + at + "/Encoder.mlmodelc.partial");
  EXPECT_EQ(lines[2], "info: Deleted corrupted cache entry at " + at + "/vocab.json.partial");
  EXPECT_EQ(lines[3], "info: Deleted corrupted cache entry at " + at + "/vocab.json.partial.etag");
}

TEST_F(ModelCacheTest, PurgeFailuresOtherThanMissingFilesAreLogged) {
  write(repo() / "blocker", "b");
  // Below a plain file nothing can exist, yet the failure is not a missing file.
  ModelCache::purgeCorruptedFiles({"blocker/inside"}, repo());
  ModelCache::purgeCorruptedCache(repo() / "blocker/inside");
  const std::string path = (repo() / "blocker/inside").string();
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 5u);  // three locations, then the cache
  EXPECT_EQ(lines[0], "error: Failed to delete " + path + ": cannot remove '" + path + "': Not a directory");
  EXPECT_EQ(lines[2], "error: Failed to delete " + path + ".partial.etag: cannot remove '" + path +
                          ".partial.etag': Not a directory");
  EXPECT_EQ(lines[3], "error: Failed to delete cache: cannot remove '" + path + "': Not a directory");
  EXPECT_EQ(lines[4], "info: Will attempt to overwrite during re-download");
}

TEST_F(ModelCacheTest, PurgeCorruptedCacheRemovesTheFolderOrSaysNothing) {
  write(repo() / "a/b.bin", "x");
  ModelCache::purgeCorruptedCache(repo());
  EXPECT_FALSE(fs::exists(repo()));
  ModelCache::purgeCorruptedCache(repo());
  EXPECT_THAT(logLines(), ElementsAre("info: Successfully deleted corrupted cache at " + repo().string()));
}

TEST_F(ModelCacheTest, CreateDirectoryRobustlyReplacesBlockingFilesInsideItsFolder) {
  const fs::path models = folder_ / "Models";
  write(models / "a/b", "blocking");
  ModelCache::createDirectoryRobustly(models / "a/b/c", models);
  EXPECT_TRUE(fs::is_directory(models / "a/b/c"));
  EXPECT_THAT(logLines(), ElementsAre("error: Removing file blocking directory creation: " + (models / "a/b").string()));

  // A blocking link goes as a link; what it points at stays.
  write(folder_ / "target.bin", "t");
  fs::create_symlink(folder_ / "target.bin", models / "link");
  ModelCache::createDirectoryRobustly(models / "link/d", models);
  EXPECT_TRUE(fs::is_directory(models / "link/d"));
  EXPECT_EQ(read(folder_ / "target.bin"), "t");

  ModelCache::createDirectoryRobustly(models / "a/b/c", models);  // already there
  ModelCache::createDirectoryRobustly(models / "x/y", models);    // nothing in the way
  EXPECT_TRUE(fs::is_directory(models / "x/y"));
}

TEST_F(ModelCacheTest, CreateDirectoryRobustlyNeverRemovesFilesAtOrAboveItsFolder) {
  struct Case {
    const char* name;
    fs::path file;
    fs::path at;
    fs::path within;
  };
  const Case cases[] = {
      {"the folder itself", folder_ / "one/Models", folder_ / "one/Models/repo", folder_ / "one/Models"},
      {"above the folder", folder_ / "two/user.txt", folder_ / "two/user.txt/Models/repo", folder_ / "two/user.txt/Models"},
      {"outside the folder", folder_ / "three/other", folder_ / "three/other/x", folder_ / "three/Models"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write(c.file, "user data");
    auto error = thrown([&] { ModelCache::createDirectoryRobustly(c.at, c.within); });
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "POSIX");
    EXPECT_EQ(read(c.file), "user data");
  }
  EXPECT_THAT(logLines(), IsEmpty());
}

// --- Size diagnosis, attributes, missing-file errors ----------------------------------------

TEST_F(ModelCacheTest, UndersizedFilesStripTheSubPath) {
  write(repo() / "small.bin", "abc");
  write(repo() / "large.bin", std::string(20, 'x'));
  write(repo() / "exact.bin", std::string(5, 'x'));
  const std::vector<RemoteFile> remote{
      {"160ms/encoder.mlmodelc/weights/weight.bin", 1000, std::nullopt},
      {"160ms/small.bin", 10, std::nullopt},
      {"160ms/large.bin", 10, std::nullopt},
      {"160ms/exact.bin", 5, std::nullopt},
      {"160ms/empty-listed.bin", 0, std::nullopt},
      {"160ms/unknown-size.bin", -1, std::nullopt},
      {"other/a.bin", 7, std::nullopt},
  };
  EXPECT_THAT(ModelCache::undersizedFiles(remote, repo(), "160ms"),
              ElementsAre("encoder.mlmodelc/weights/weight.bin (0/1000 bytes)", "other/a.bin (0/7 bytes)",
                          "small.bin (3/10 bytes)"));
  EXPECT_THAT(ModelCache::undersizedFiles({{"160ms/small.bin", 10, std::nullopt}}, repo(), std::nullopt),
              ElementsAre("160ms/small.bin (0/10 bytes)"));
}

TEST_F(ModelCacheTest, AttributesIfPresent) {
  write(repo() / "file.bin", "12345");
  fs::create_symlink(repo() / "file.bin", repo() / "link");
  using Type = ModelCache::FileAttributes::Type;
  EXPECT_EQ(ModelCache::attributesIfPresent(repo() / "file.bin"), (ModelCache::FileAttributes{Type::regular, 5}));
  EXPECT_EQ(ModelCache::attributesIfPresent(repo())->type, Type::directory);
  EXPECT_EQ(ModelCache::attributesIfPresent(repo() / "link")->type, Type::symbolicLink);
  EXPECT_EQ(ModelCache::attributesIfPresent(repo() / "absent"), std::nullopt);
  EXPECT_THROW(ModelCache::attributesIfPresent(repo() / "file.bin/inside"), FileError);
}

TEST_F(ModelCacheTest, IsMissingFileRecognisesMissingFilesAlongTheChain) {
  const fs::path p = "/x";
  struct Case {
    const char* name;
    std::exception_ptr error;
    bool expected;
  };
  const Case cases[] = {
      {"file error 4", std::make_exception_ptr(FileError::cocoa(FileError::fileNoSuchFile, p, "d")), true},
      {"file error 260", std::make_exception_ptr(FileError::cocoa(FileError::fileReadNoSuchFile, p, "d")), true},
      {"file error 259", std::make_exception_ptr(FileError::cocoa(FileError::fileReadCorruptFile, p, "d")), false},
      {"ENOENT", std::make_exception_ptr(FileError::fromErrno("open", p, ENOENT)), true},
      {"EACCES", std::make_exception_ptr(FileError::fromErrno("open", p, EACCES)), false},
      {"nested", std::make_exception_ptr(DownloadError::downloadFailed(
                     "a.bin", std::make_exception_ptr(FileError::fromErrno("open", p, ENOENT)))), true},
      {"nested other", std::make_exception_ptr(DownloadError::downloadFailed(
                           "a.bin", std::make_exception_ptr(FileError::fromErrno("open", p, EIO)))), false},
      {"standard library", std::make_exception_ptr(fs::filesystem_error(
                               "x", p, std::make_error_code(std::errc::no_such_file_or_directory))), true},
      {"other exception", std::make_exception_ptr(std::runtime_error("no such file")), false},
      {"none", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ModelCache::isMissingFile(c.error), c.expected);
  }
}

TEST_F(ModelCacheTest, IsMissingFileEndsOnALoopingChain) {
  const auto looped = std::make_exception_ptr(platform::Error("A", "X", 1, "a"));
  platform::Error* inside = nullptr;
  try {
    std::rethrow_exception(looped);
  } catch (platform::Error& error) {
    inside = &error;
  }
  *inside = platform::Error("A", "X", 1, "a", std::nullopt, looped);
  EXPECT_FALSE(ModelCache::isMissingFile(looped));
  *inside = platform::Error("A", "X", 1, "a");  // break the cycle so that nothing leaks
}

// --- Content hashes --------------------------------------------------------------------------

std::string oneShotHex(const EVP_MD* digest, std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &length, digest, nullptr);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kDigits[out[i] >> 4]);
    text.push_back(kDigits[out[i] & 0xf]);
  }
  return text;
}

TEST_F(ModelCacheTest, HashFileFeedsACopyOfTheGivenState) {
  // More than two 1 MiB chunks, with a tail.
  std::string content(2 * (1 << 20) + 12345, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) ^ (i >> 9));
  write(repo() / "weight.bin", content);

  EXPECT_EQ(ModelCache::hashFile(repo() / "weight.bin", platform::HashFunction::sha256()),
            oneShotHex(EVP_sha256(), content));

  const std::string header = "blob " + std::to_string(content.size()) + std::string(1, '\0');
  auto blob = platform::HashFunction::sha1();
  blob.update(header);
  EXPECT_EQ(ModelCache::hashFile(repo() / "weight.bin", blob), oneShotHex(EVP_sha1(), header + content));
  // The given state is a prefix only: hashing again gives the same id.
  EXPECT_EQ(ModelCache::hashFile(repo() / "weight.bin", blob), oneShotHex(EVP_sha1(), header + content));

  write(repo() / "empty.bin", "");
  EXPECT_EQ(ModelCache::hashFile(repo() / "empty.bin", platform::HashFunction::sha256()), oneShotHex(EVP_sha256(), ""));
}

TEST_F(ModelCacheTest, HashFileFailsOnWhatItCannotRead) {
  auto missing = thrown([&] { ModelCache::hashFile(repo() / "absent.bin", platform::HashFunction::sha256()); });
  ASSERT_NE(missing, nullptr);
  EXPECT_TRUE(ModelCache::isMissingFile(FileError::fromErrno("open", "/x", missing->code())));
  fs::create_directories(repo() / "folder");
  auto folder = thrown([&] { ModelCache::hashFile(repo() / "folder", platform::HashFunction::sha256()); });
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->code(), EISDIR);
}

// --- Legacy adoption -------------------------------------------------------------------------

class LegacyCacheTest : public ModelCacheTest {
 protected:
  static constexpr const char* kRevision = "0123abcd";

  // Writes a file into the repository folder and returns its listing entry with the content id
  // (lfs: SHA-256, else the git blob id).
  RemoteFile put(const std::string& path, const std::string& bytes, bool lfs = false) {
    write(repo() / path, bytes);
    return listed(path, bytes, lfs);
  }

  static RemoteFile listed(const std::string& path, const std::string& bytes, bool lfs = false) {
    RemoteFile file{path, static_cast<int64_t>(bytes.size()), std::nullopt};
    file.contentID = lfs ? RemoteFile::ContentID::lfsSHA256(HubFake::sha256(bytes))
                         : RemoteFile::ContentID::gitBlobSHA1(HubFake::gitBlobSHA1(bytes));
    return file;
  }

  std::string marker() const {
    return fs::exists(repo() / ModelCache::kRevisionMarkerName) ? read(repo() / ModelCache::kRevisionMarkerName) : "";
  }
};

TEST_F(LegacyCacheTest, OnlyPinnedFoldersWithoutMarkerAreLegacy) {
  const auto file = put("vocab.json", "{}");
  EXPECT_EQ(ModelCache::legacyCacheContents(repo(), "main"), std::nullopt);
  ModelCache::adoptLegacyCache(repo(), "main", {}, std::nullopt);
  EXPECT_THAT(tree(repo()), ElementsAre("vocab.json"));

  write(repo() / ModelCache::kRevisionMarkerName, "older\n");
  EXPECT_EQ(ModelCache::legacyCacheContents(repo(), kRevision), std::nullopt);
  ModelCache::adoptLegacyCache(repo(), kRevision, {}, std::nullopt);
  EXPECT_EQ(marker(), "older\n");
  EXPECT_TRUE(fs::exists(repo() / "vocab.json"));

  EXPECT_EQ(ModelCache::legacyCacheContents(folder_ / "absent", kRevision), std::nullopt);
  write(folder_ / "plain", "x");
  EXPECT_EQ(ModelCache::legacyCacheContents(folder_ / "plain", kRevision), std::nullopt);
}

TEST_F(LegacyCacheTest, ContentsListBundlesAndLooseFiles) {
  put("Encoder.mlmodelc/coremldata.bin", "c");
  put("Encoder.mlmodelc/weights/weight.bin", "w");
  put("vocab.json", "{}");
  put("sub/extra.txt", "e");
  put("x.bin.partial", "p");
  put("x.bin.partial.etag", "\"e\"");
  fs::create_directories(repo() / "empty");
  write(folder_ / "outside/secret.bin", "s");
  fs::create_symlink(folder_ / "outside/secret.bin", repo() / "escape.bin");
  fs::create_directory_symlink(folder_ / "outside", repo() / "escape-dir");
  fs::create_symlink(repo() / "vocab.json", repo() / "alias.json");
  fs::create_symlink(repo() / "nowhere", repo() / "dangling");

  const auto contents = ModelCache::legacyCacheContents(repo(), kRevision);
  ASSERT_TRUE(contents.has_value());
  EXPECT_THAT(contents->bundles, ElementsAre("Encoder.mlmodelc"));
  EXPECT_THAT(contents->files, ElementsAre("sub/extra.txt", "vocab.json"));

  put("Whole.mlmodelc/coremldata.bin", "c");
  EXPECT_THAT(ModelCache::legacyCacheContents(repo() / "Whole.mlmodelc", kRevision)->bundles, ElementsAre(""));
}

TEST_F(LegacyCacheTest, MatchingFolderIsKeptAndMarked) {
  std::vector<RemoteFile> listing{
      put("Encoder.mlmodelc/coremldata.bin", "coreml"),
      put("Encoder.mlmodelc/weights/weight.bin", std::string(4096, 'w'), true),
      put("vocab.json", "{\"a\": 1}"),
  };
  // Upper-case ids match too.
  std::transform(listing[2].contentID->text.begin(), listing[2].contentID->text.end(),
                 listing[2].contentID->text.begin(), [](unsigned char c) { return std::toupper(c); });

  ModelCache::adoptLegacyCache(repo(), kRevision, listing, std::nullopt);

  EXPECT_THAT(tree(repo()), ElementsAre(ModelCache::kRevisionMarkerName, "Encoder.mlmodelc",
                                        "Encoder.mlmodelc/coremldata.bin", "Encoder.mlmodelc/weights",
                                        "Encoder.mlmodelc/weights/weight.bin", "vocab.json"));
  EXPECT_EQ(marker(), std::string(kRevision) + "\n");
  ModelCache::prepareForDownload(repo(), kRevision);
  EXPECT_TRUE(fs::exists(repo() / "Encoder.mlmodelc/weights/weight.bin"));
}

TEST_F(LegacyCacheTest, MismatchesAndUnlistedItemsAreRemoved) {
  std::vector<RemoteFile> listing{
      put("Encoder.mlmodelc/coremldata.bin", "coreml"),
      put("Encoder.mlmodelc/weights/weight.bin", "old weights"),
      put("Decoder.mlmodelc/coremldata.bin", "coreml"),
      put("Decoder.mlmodelc/weights/weight.bin", "weights", true),
      put("vocab.json", "{}"),
      put("config.json", "{\"v\": 1}"),
      put("truncated.bin", "truncated"),
      put("no-id.bin", "n"),
      put("bad-id.bin", "b"),
  };
  listing[1] = listed("Encoder.mlmodelc/weights/weight.bin", "new weights");  // same size, other content
  listing[5] = listed("config.json", "{\"v\": 2}");
  listing[6].size = 100;
  listing[7].contentID.reset();
  listing[8].contentID->text = "xyz";
  put("Decoder.mlmodelc/weights/weight.bin.partial", "p");  // beside a kept file
  put("Encoder.mlmodelc/weights/weight.bin.partial", "p");  // goes with its bundle
  put("vocab.json.partial", "p");
  put("vocab.json.partial.etag", "e");
  put("config.json.partial", "p");
  put("unlisted.txt", "u");
  put("Unlisted.mlmodelc/coremldata.bin", "c");

  ModelCache::adoptLegacyCache(repo(), kRevision, listing, std::nullopt);

  EXPECT_THAT(tree(repo()), ElementsAre(ModelCache::kRevisionMarkerName, "Decoder.mlmodelc",
                                        "Decoder.mlmodelc/coremldata.bin", "Decoder.mlmodelc/weights",
                                        "Decoder.mlmodelc/weights/weight.bin", "vocab.json"));
}

TEST_F(LegacyCacheTest, UnknownSizeStillHashes) {
  auto good = put("good.bin", "good");
  auto bad = put("bad.bin", "bad");
  good.size = -1;
  bad.size = -1;
  bad.contentID = RemoteFile::ContentID::gitBlobSHA1(HubFake::gitBlobSHA1("other"));
  ModelCache::adoptLegacyCache(repo(), kRevision, {good, bad}, std::nullopt);
  EXPECT_THAT(tree(repo()), ElementsAre(ModelCache::kRevisionMarkerName, "good.bin"));
}

TEST_F(LegacyCacheTest, SubPathIsTakenOffListedPaths) {
  put("encoder.mlmodelc/coremldata.bin", "c");
  put("vocab.json", "v");
  std::vector<RemoteFile> listing{listed("160ms/encoder.mlmodelc/coremldata.bin", "c"), listed("160ms/vocab.json", "v")};
  ModelCache::adoptLegacyCache(repo(), kRevision, listing, "160ms");
  EXPECT_THAT(tree(repo()), ElementsAre(ModelCache::kRevisionMarkerName, "encoder.mlmodelc",
                                        "encoder.mlmodelc/coremldata.bin", "vocab.json"));
}

TEST_F(LegacyCacheTest, FolderNamedLikeABundleIsOneBundle) {
  const fs::path bundle = folder_ / "Models/Whole.mlmodelc";
  write(bundle / "coremldata.bin", "c");
  write(bundle / "weights/weight.bin", "w");
  const std::vector<RemoteFile> matching{listed("coremldata.bin", "c"), listed("weights/weight.bin", "w")};
  ModelCache::adoptLegacyCache(bundle, kRevision, matching, std::nullopt);
  EXPECT_THAT(tree(bundle), ElementsAre(ModelCache::kRevisionMarkerName, "coremldata.bin", "weights",
                                        "weights/weight.bin"));

  fs::remove(bundle / ModelCache::kRevisionMarkerName);
  const std::vector<RemoteFile> oneWrong{listed("coremldata.bin", "c"), listed("weights/weight.bin", "x")};
  ModelCache::adoptLegacyCache(bundle, kRevision, oneWrong, std::nullopt);
  EXPECT_THAT(tree(bundle), ElementsAre(ModelCache::kRevisionMarkerName));
}

TEST_F(LegacyCacheTest, ListedPathsLeavingTheFolderRemoveNothing) {
  write(folder_ / "Models/victim.bin", "v");
  put("unlisted.txt", "u");
  for (const char* path : {"../victim.bin", "a/../../victim.bin", "/etc/hostname"}) {
    SCOPED_TRACE(path);
    RemoteFile escaping{path, 1, RemoteFile::ContentID::gitBlobSHA1(std::string(40, '0'))};
    try {
      ModelCache::adoptLegacyCache(repo(), kRevision, {escaping}, std::nullopt);
      ADD_FAILURE() << "nothing thrown";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidResponse);
    }
    EXPECT_EQ(read(folder_ / "Models/victim.bin"), "v");
    EXPECT_THAT(tree(repo()), ElementsAre("unlisted.txt"));
  }
  // Inside after normalisation is fine.
  const RemoteFile inside = listed("a/../unlisted.txt", "u");
  ModelCache::adoptLegacyCache(repo(), kRevision, {inside}, std::nullopt);
  EXPECT_THAT(tree(repo()), ElementsAre(ModelCache::kRevisionMarkerName, "unlisted.txt"));
}

TEST_F(LegacyCacheTest, LinksAreRemovedAsThemselvesAndNeverFollowed) {
  write(folder_ / "outside/secret.bin", "s");
  write(folder_ / "outside/weight.bin", "user file");
  put("vocab.json", "v");
  fs::create_symlink(folder_ / "outside/secret.bin", repo() / "secret.bin");
  fs::create_symlink(folder_ / "outside/secret.bin", repo() / "listed-link.bin");
  fs::create_directory_symlink(folder_ / "outside", repo() / "sub");
  const std::vector<RemoteFile> listing{
      listed("vocab.json", "v"),
      listed("listed-link.bin", "s"),           // a link is no regular file: removed as a link
      listed("sub/weight.bin", "other bytes"),  // mismatching, but its folder lies outside
  };
  ModelCache::adoptLegacyCache(repo(), kRevision, listing, std::nullopt);

  EXPECT_EQ(read(folder_ / "outside/secret.bin"), "s");
  EXPECT_EQ(read(folder_ / "outside/weight.bin"), "user file");
  EXPECT_FALSE(fs::exists(fs::symlink_status(repo() / "listed-link.bin")));
  EXPECT_TRUE(fs::is_symlink(repo() / "secret.bin"));
  EXPECT_EQ(marker(), std::string(kRevision) + "\n");
}

TEST_F(LegacyCacheTest, UnreadableFileStopsTheAdoptionBeforeAnyRemoval) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const auto locked = put("locked.bin", "l");
  put("unlisted.txt", "u");
  fs::permissions(repo() / "locked.bin", fs::perms::none);
  auto error = thrown([&] { ModelCache::adoptLegacyCache(repo(), kRevision, {locked}, std::nullopt); });
  fs::permissions(repo() / "locked.bin", fs::perms::owner_all);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), EACCES);
  EXPECT_THAT(tree(repo()), ElementsAre("locked.bin", "unlisted.txt"));
}

TEST_F(LegacyCacheTest, HasMatchingContentNeedsARegularFileOfTheListedSize) {
  const auto file = put("a.bin", "abc");
  fs::create_directories(repo() / "dir.bin");
  EXPECT_TRUE(ModelCache::hasMatchingContent(file, repo() / "a.bin"));
  EXPECT_FALSE(ModelCache::hasMatchingContent(file, repo() / "absent.bin"));
  EXPECT_FALSE(ModelCache::hasMatchingContent(file, repo() / "dir.bin"));
  auto sha256 = listed("a.bin", "abc", true);
  EXPECT_TRUE(ModelCache::hasMatchingContent(sha256, repo() / "a.bin"));
  sha256.contentID->kind = Kind::gitBlobSHA1;  // a 64-character id is no blob id
  EXPECT_FALSE(ModelCache::hasMatchingContent(sha256, repo() / "a.bin"));
}

}  // namespace
}  // namespace tesselaudio
