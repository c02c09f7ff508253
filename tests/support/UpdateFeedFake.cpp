#include "tests/support/UpdateFeedFake.h"

#include <chrono>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/FileIO.h"
#include "platform/update/Installation.h"
#include "tests/support/TarBuilder.h"

namespace testsupport {

namespace fs = std::filesystem;

UpdateFeedFake::UpdateFeedFake()
    : identity_(makeSelfSignedCertificate(folder_.path())),
      home_(fs::canonical(folder_.path()) / "home"),
      root_(home_ / ".local/opt/VeltoVoice"),
      downloadFolder_(folder_ / "downloads"),
      server_(identity_) {
  fs::create_directories(root_ / "bin");
  platform::writeFileAtomically(root_ / "bin/veltovoice", "old program");
  platform::writeFileAtomically(root_ / platform::Installation::kMarkerFile, "");
  TarBuilder()
      .file("bin/veltovoice", "new program", 0755)
      .file(platform::Installation::kMarkerFile, "")
      .write(folder_ / "release.tar.gz");
  archive_ = platform::readFile(folder_ / "release.tar.gz");

  server_.server().Get("/feed.xml", [this](const httplib::Request&, httplib::Response& response) {
    {
      std::scoped_lock lock(mutex_);
      ++feedRequests_;
    }
    response.set_content(feed(), "application/xml");
  });
  server_.server().Get("/release.tar.gz", [this](const httplib::Request&, httplib::Response& response) {
    {
      std::scoped_lock lock(mutex_);
      ++archiveRequests_;
    }
    response.set_content_provider(
        archive_.size(), "application/gzip", [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          const std::size_t half = archive_.size() / 2;
          if (offset == 0) return sink.write(archive_.data(), half);
          std::unique_lock lock(mutex_);
          released_.wait_for(lock, std::chrono::seconds(10), [this] { return !withholding_; });
          return sink.write(archive_.data() + half, archive_.size() - half);
        });
  });
}

UpdateFeedFake::~UpdateFeedFake() { releaseArchive(); }

platform::ApplicationInformation UpdateFeedFake::information() const {
  return platform::ApplicationInformation{.shortVersion = "1.0.0",
                                          .buildVersion = "1",
                                          .feedURL = server_.url("/feed.xml"),
                                          .publicKey = keys_.publicKeyBase64(),
                                          .caBundlePath = identity_.certificate.string()};
}

platform::UpdaterEnvironment UpdateFeedFake::environment(
    std::function<void(const fs::path&)> relaunch) const {
  platform::UpdaterEnvironment environment;
  environment.programPath = root_ / "bin/veltovoice";
  environment.homeFolder = home_;
  environment.downloadFolder = downloadFolder_;
  environment.networkIdleTimeout = 5;
  environment.relaunch = std::move(relaunch);
  return environment;
}

void UpdateFeedFake::setNewestRelease(const std::string& version, const std::string& displayVersion) {
  std::scoped_lock lock(mutex_);
  newestVersion_ = version;
  newestDisplayVersion_ = displayVersion;
}

void UpdateFeedFake::withholdSecondHalfOfArchive() {
  std::scoped_lock lock(mutex_);
  withholding_ = true;
}

void UpdateFeedFake::releaseArchive() {
  {
    std::scoped_lock lock(mutex_);
    withholding_ = false;
  }
  released_.notify_all();
}

int UpdateFeedFake::archiveRequests() const {
  std::scoped_lock lock(mutex_);
  return archiveRequests_;
}

int UpdateFeedFake::feedRequests() const {
  std::scoped_lock lock(mutex_);
  return feedRequests_;
}

std::string UpdateFeedFake::installedProgram() const { return platform::readFile(root_ / "bin/veltovoice"); }

std::string UpdateFeedFake::feed() const {
  std::scoped_lock lock(mutex_);
  const std::string url = server_.url("/release.tar.gz");
  const std::string signature = keys_.signBase64(archive_);
  return fmt::format(
      "<?xml version=\"1.0\"?><updates>"
      "<release version=\"1\" displayVersion=\"1.0.0\" url=\"{0}\" length=\"{1}\" signature=\"{2}\"/>"
      "<release version=\"{3}\" displayVersion=\"{4}\" url=\"{0}\" length=\"{1}\" signature=\"{2}\"/>"
      "</updates>",
      url, archive_.size(), signature, newestVersion_, newestDisplayVersion_);
}

}  // namespace testsupport
