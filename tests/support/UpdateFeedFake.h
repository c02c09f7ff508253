#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "platform/update/ApplicationInformation.h"
#include "platform/update/Updater.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/SelfSignedCertificate.h"
#include "tests/support/SigningKeys.h"
#include "tests/support/TemporaryFolder.h"

namespace testsupport {

// A signed update feed on loopback HTTPS beside a user-local installation that it can update, for
// tests that drive the real updater. The running program is build "1" (1.0.0), installed under a
// temporary home as <home>/.local/opt/VeltoVoice with "bin/veltovoice" reading "old program" and
// the installation marker; the feed offers build "2" (1.1.0), whose archive holds a program
// reading "new program". information() trusts the server's own certificate.
//
// Routes: "/feed.xml" (the feed), "/release.tar.gz" (the archive). Further routes may be added on
// server(). The server's handlers may be called from its threads at any time; the setters below
// are safe from any thread.
class UpdateFeedFake {
 public:
  UpdateFeedFake();
  // Lets a withheld answer go before the server stops.
  ~UpdateFeedFake();

  UpdateFeedFake(const UpdateFeedFake&) = delete;
  UpdateFeedFake& operator=(const UpdateFeedFake&) = delete;

  // The running build's information, naming this feed and its key.
  platform::ApplicationInformation information() const;
  // Paths of the fake installation, a download folder in the temporary folder, a short idle
  // timeout, and `relaunch` as the relaunch hook.
  platform::UpdaterEnvironment environment(std::function<void(const std::filesystem::path&)> relaunch) const;

  // The feed offers build "1" (1.0.0) and the given newest release of the archive.
  void setNewestRelease(const std::string& version, const std::string& displayVersion);
  // The archive's answer sends its first half, then waits for releaseArchive() (at most 10 s).
  void withholdSecondHalfOfArchive();
  void releaseArchive();
  int archiveRequests() const;
  int feedRequests() const;

  LoopbackServer& server() { return server_; }
  const std::filesystem::path& installation() const { return root_; }
  const std::filesystem::path& downloadFolder() const { return downloadFolder_; }
  // What bin/veltovoice of the installation reads now.
  std::string installedProgram() const;
  const std::string& archive() const { return archive_; }

 private:
  std::string feed() const;

  TemporaryFolder folder_;
  TlsIdentity identity_;
  SigningKeys keys_;
  std::filesystem::path home_;
  std::filesystem::path root_;
  std::filesystem::path downloadFolder_;
  std::string archive_;

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::string newestVersion_ = "2";
  std::string newestDisplayVersion_ = "1.1.0";
  bool withholding_ = false;
  int archiveRequests_ = 0;
  int feedRequests_ = 0;

  // Last: its handlers use the members above, so it stops before they go.
  LoopbackServer server_;
};

}  // namespace testsupport
