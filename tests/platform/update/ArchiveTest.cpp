#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/sys/FileIO.h"
#include "platform/update/ArchiveExtractor.h"
#include "platform/update/ArchiveSignature.h"
#include "platform/update/UpdateError.h"
#include "tests/support/SigningKeys.h"
#include "tests/support/TarBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::SigningKeys;
using testsupport::TarBuilder;

class ArchiveSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TarBuilder().file("bin/veltovoice", "#!/bin/sh\necho new\n", 0755).write(archive_);
    bytes_ = readFile(archive_);
    signature_ = keys_.signBase64(bytes_);
  }

  std::optional<UpdateError::Code> refusal(std::int64_t length, const std::string& signature,
                                           const std::string& key) const {
    try {
      ArchiveSignature::verify(archive_, length, signature, key);
      return std::nullopt;
    } catch (const UpdateError& error) {
      return error.updateCode();
    }
  }

  testsupport::TemporaryFolder folder_;
  fs::path archive_ = folder_ / "update.tar.gz";
  SigningKeys keys_;
  std::string bytes_;
  std::string signature_;
};

TEST_F(ArchiveSignatureTest, AcceptsTheSignedArchiveOfTheAnnouncedLength) {
  EXPECT_EQ(refusal(static_cast<std::int64_t>(bytes_.size()), signature_, keys_.publicKeyBase64()), std::nullopt);
}

TEST_F(ArchiveSignatureTest, RefusesChangedForeignOrMisdescribedArchives) {
  const auto length = static_cast<std::int64_t>(bytes_.size());
  const SigningKeys otherKeys;
  struct Case {
    const char* name;
    std::string content;  // written over the archive
    std::int64_t length;
    std::string signature;
    UpdateError::Code expected;
  };
  std::string changed = bytes_;
  changed[changed.size() / 2] ^= 0x01;
  const Case cases[] = {
      {"one byte changed", changed, length, signature_, UpdateError::Code::signatureInvalid},
      {"signed with another key", bytes_, length, otherKeys.signBase64(bytes_), UpdateError::Code::signatureInvalid},
      {"truncated", bytes_.substr(0, bytes_.size() - 1), length, signature_, UpdateError::Code::lengthMismatch},
      {"feed names another length", bytes_, length + 1, signature_, UpdateError::Code::lengthMismatch},
      {"signature not Base64", bytes_, length, "not*base64!", UpdateError::Code::signatureInvalid},
      {"signature too short", bytes_, length, testsupport::base64("short"), UpdateError::Code::signatureInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFileAtomically(archive_, c.content);
    EXPECT_EQ(refusal(c.length, c.signature, keys_.publicKeyBase64()), c.expected);
  }
}

TEST(ArchiveSignatureKeyTest, PublicKeyMustDecodeToThirtyTwoBytes) {
  EXPECT_TRUE(ArchiveSignature::isPublicKey(SigningKeys().publicKeyBase64()));
  EXPECT_FALSE(ArchiveSignature::isPublicKey(testsupport::base64(std::string(31, 'k'))));
  EXPECT_FALSE(ArchiveSignature::isPublicKey(testsupport::base64(std::string(33, 'k'))));
  EXPECT_FALSE(ArchiveSignature::isPublicKey(""));
  EXPECT_FALSE(ArchiveSignature::isPublicKey("@@@@"));
}

class ArchiveExtractorTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(destination_); }

  testsupport::TemporaryFolder folder_;
  fs::path archive_ = folder_ / "update.tar.gz";
  fs::path destination_ = folder_ / "new";
};

TEST_F(ArchiveExtractorTest, UnpacksFilesFoldersAndInnerLinksWithTheirModes) {
  TarBuilder()
      .folder("./")
      .file("./bin/veltovoice", "program", 0755)
      .file("share/readme.txt", "hello")
      .symlink("share/current", "readme.txt")
      .hardlink("share/copy.txt", "share/readme.txt")
      .write(archive_);
  ArchiveExtractor::extract(archive_, destination_);

  EXPECT_EQ(readFile(destination_ / "bin/veltovoice"), "program");
  struct stat info {};
  ASSERT_EQ(::stat((destination_ / "bin/veltovoice").c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
  EXPECT_EQ(fs::read_symlink(destination_ / "share/current"), "readme.txt");
  EXPECT_EQ(readFile(destination_ / "share/copy.txt"), "hello");
}

TEST_F(ArchiveExtractorTest, RefusesEntriesThatReachOutsideTheNewFolder) {
  const std::string escaped = (folder_ / "escaped").string();
  struct Case {
    const char* name;
    TarBuilder archive;
  };
  const Case cases[] = {
      {"absolute name", TarBuilder().file("bin/veltovoice", "x").file(escaped, "evil")},
      {"dot-dot component", TarBuilder().file("bin/../../escaped", "evil")},
      {"dot-dot at the start", TarBuilder().file("../escaped", "evil")},
      {"link to an absolute path", TarBuilder().symlink("bin/veltovoice", escaped)},
      {"link climbing out", TarBuilder().symlink("bin/out", "../../escaped")},
      {"hard link to an outside file", TarBuilder().hardlink("bin/veltovoice", escaped)},
      {"hard link climbing out", TarBuilder().hardlink("bin/veltovoice", "../escaped")},
      {"file written through a link", TarBuilder().symlink("up", "..").file("up/escaped", "evil")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(destination_);
    fs::create_directory(destination_);
    c.archive.write(archive_);
    try {
      ArchiveExtractor::extract(archive_, destination_);
      ADD_FAILURE() << "accepted";
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.updateCode(), UpdateError::Code::archiveUnsafe);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder_ / "escaped")));
  }
}

TEST_F(ArchiveExtractorTest, DamagedArchiveIsInvalid) {
  writeFileAtomically(archive_, "not a gzip stream at all");
  try {
    ArchiveExtractor::extract(archive_, destination_);
    ADD_FAILURE() << "accepted";
  } catch (const UpdateError& error) {
    EXPECT_EQ(error.updateCode(), UpdateError::Code::archiveInvalid);
  }
}

}  // namespace
}  // namespace platform
