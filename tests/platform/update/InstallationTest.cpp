#include "platform/update/Installation.h"

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "platform/sys/FileIO.h"
#include "platform/update/UpdateError.h"
#include "tests/support/TarBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::TarBuilder;

// A user-local installation inside a temporary home: bin/veltovoice, the marker and an old file.
class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "bin");
    writeFileAtomically(root_ / "bin/veltovoice", "old program");
    writeFileAtomically(root_ / Installation::kMarkerFile, "");
    writeFileAtomically(root_ / "old-only.txt", "old");
    TarBuilder()
        .file("bin/veltovoice", "new program", 0755)
        .file(Installation::kMarkerFile, "")
        .file("share/new.txt", "new")
        .write(archive_);
  }

  Installation locate() const { return Installation::locate(root_ / "bin/veltovoice", home_); }

  std::set<std::string> namesBesideRoot() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_.parent_path())) names.insert(entry.path().filename());
    return names;
  }

  void expectOldInstallationIntact() const {
    EXPECT_EQ(readFile(root_ / "bin/veltovoice"), "old program");
    EXPECT_EQ(readFile(root_ / "old-only.txt"), "old");
    EXPECT_EQ(namesBesideRoot(), std::set<std::string>{"VeltoVoice"});
  }

  testsupport::TemporaryFolder folder_;
  fs::path home_ = fs::canonical(folder_.path()) / "home";
  fs::path root_ = home_ / ".local/opt/VeltoVoice";
  fs::path archive_ = folder_ / "update.tar.gz";
};

TEST_F(InstallationTest, LocatesTheFolderAboveTheProgramsBin) {
  EXPECT_EQ(locate().root(), root_);
}

TEST_F(InstallationTest, RefusesWhatIsNoUserLocalInstallation) {
  struct Case {
    const char* name;
    fs::path program;
    fs::path home;
    bool removeMarker;
  };
  const fs::path otherHome = folder_ / "other-home";
  fs::create_directories(otherHome);
  writeFileAtomically(root_ / "veltovoice-outside-bin", "x");
  const Case cases[] = {
      {"build tree without marker", root_ / "bin/veltovoice", home_, true},
      {"outside the home folder", root_ / "bin/veltovoice", otherHome, false},
      {"program not in bin", root_ / "veltovoice-outside-bin", home_, false},
      {"program missing", root_ / "bin/absent", home_, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.removeMarker) fs::remove(root_ / Installation::kMarkerFile);
    try {
      Installation::locate(c.program, c.home);
      ADD_FAILURE() << "accepted";
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.updateCode(), UpdateError::Code::notUserLocal);
    }
    writeFileAtomically(root_ / Installation::kMarkerFile, "");
  }
}

TEST_F(InstallationTest, ReplacesTheFolderWithTheArchivesContents) {
  const fs::path program = locate().replace(archive_);
  EXPECT_EQ(program, root_ / "bin/veltovoice");
  EXPECT_EQ(readFile(program), "new program");
  EXPECT_EQ(readFile(root_ / "share/new.txt"), "new");
  EXPECT_FALSE(fs::exists(root_ / "old-only.txt"));
  EXPECT_EQ(namesBesideRoot(), std::set<std::string>{"VeltoVoice"});
}

TEST_F(InstallationTest, FailureWhileSwappingPutsTheOldFolderBack) {
  int renames = 0;
  const Installation::Rename failSecond = [&](const fs::path& from, const fs::path& to) {
    if (++renames == 2) throw std::runtime_error("disk full");
    fs::rename(from, to);
  };
  try {
    locate().replace(archive_, failSecond);
    ADD_FAILURE() << "accepted";
  } catch (const UpdateError& error) {
    EXPECT_EQ(error.updateCode(), UpdateError::Code::installationFailed);
  }
  EXPECT_EQ(renames, 2);
  expectOldInstallationIntact();
}

TEST_F(InstallationTest, ArchivesThatCannotFormAnInstallationLeaveTheOldOneAlone) {
  struct Case {
    const char* name;
    TarBuilder archive;
    UpdateError::Code expected;
  };
  const Case cases[] = {
      {"no program", TarBuilder().file(Installation::kMarkerFile, ""), UpdateError::Code::archiveInvalid},
      {"no marker", TarBuilder().file("bin/veltovoice", "new"), UpdateError::Code::archiveInvalid},
      {"program is a link", TarBuilder().file(Installation::kMarkerFile, "").symlink("bin/veltovoice", "x"),
       UpdateError::Code::archiveInvalid},
      {"unsafe entry", TarBuilder().file("bin/veltovoice", "new").file("../../escaped", "evil"),
       UpdateError::Code::archiveUnsafe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.archive.write(archive_);
    try {
      locate().replace(archive_);
      ADD_FAILURE() << "accepted";
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.updateCode(), c.expected);
    }
    expectOldInstallationIntact();
  }
}

}  // namespace
}  // namespace platform
