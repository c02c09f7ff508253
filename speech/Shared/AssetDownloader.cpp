#include "speech/Shared/AssetDownloader.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "platform/net/HttpRequest.h"
#include "platform/net/HttpStreamHandler.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileHandle.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/StandardPaths.h"
#include "platform/sys/Uuid.h"

namespace tesselaudio::AssetDownloader {

namespace fs = std::filesystem;

namespace {

bool itemExists(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

// The client reports 0 for an answer without a status line.
int statusOf(const platform::HttpResponse& response) { return response.statusCode > 0 ? response.statusCode : -1; }

bool isSuccess(int status) { return status >= 200 && status <= 299; }

platform::HttpRequest plainRequest(const platform::Url& url) {
  platform::HttpRequest request;
  request.url = url.text();
  // An answer without a status line is ours to reject, as "not an HTTP response".
  request.allowsHttp09 = true;
  return request;
}

// Receives a streamed body into a file of its own in the temporary folder.
class FileSaver : public platform::HttpStreamHandler {
 public:
  explicit FileSaver(fs::path path) : path_(std::move(path)) {
    if (!platform::createEmptyFile(path_)) throw platform::FileError::fromErrno("create", path_, errno);
    handle_.emplace(platform::FileHandle::forWritingAtPath(path_));
  }
  ~FileSaver() override {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }

  FileSaver(const FileSaver&) = delete;
  FileSaver& operator=(const FileSaver&) = delete;

  bool onResponse(const platform::HttpResponse&) override { return true; }
  bool onData(std::string_view chunk) override {
    handle_->write(std::as_bytes(std::span(chunk.data(), chunk.size())));
    return true;
  }

  // Closes the file for the mover. Throws FileError when the close fails.
  const fs::path& finish() {
    handle_->close();
    return path_;
  }

 private:
  fs::path path_;
  std::optional<platform::FileHandle> handle_;
};

// Copies across file systems so that the destination only ever holds a whole file.
void copyIntoPlace(const fs::path& downloaded, const fs::path& destination) {
  fs::path temporary = destination;
  temporary += ".copy-" + platform::Uuid::random().toString();
  std::error_code error;
  fs::copy_file(downloaded, temporary, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw platform::FileError::fromErrno("copy", destination, error.value());
  }
  if (std::rename(temporary.c_str(), destination.c_str()) != 0) {
    const int failure = errno;
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw platform::FileError::fromErrno("move", destination, failure);
  }
  fs::remove(downloaded, error);
  if (error) throw platform::FileError::fromErrno("remove", downloaded, error.value());
}

void moveIntoPlace(const fs::path& downloaded, const fs::path& destination) {
  if (std::rename(downloaded.c_str(), destination.c_str()) == 0) return;
  if (errno != EXDEV) throw platform::FileError::fromErrno("move", destination, errno);
  copyIntoPlace(downloaded, destination);
}

}  // namespace

const DataWriter& defaultDataWriter() {
  static const DataWriter writer = [](std::string_view bytes, const fs::path& destination) {
    platform::writeFileAtomically(destination, bytes);
  };
  return writer;
}

const FileMover& defaultFileMover() {
  static const FileMover mover = [](const fs::path& downloaded, const fs::path& destination) {
    // The old item steps aside rather than being deleted outright, so that a failed move can put
    // it back instead of losing it.
    std::optional<fs::path> aside;
    if (itemExists(destination)) {
      aside = destination;
      *aside += ".replaced-" + platform::Uuid::random().toString();
      if (std::rename(destination.c_str(), aside->c_str()) != 0) {
        throw platform::FileError::fromErrno("remove", destination, errno);
      }
    }
    try {
      moveIntoPlace(downloaded, destination);
    } catch (...) {
      if (aside) std::rename(aside->c_str(), destination.c_str());
      throw;
    }
    if (aside) {
      std::error_code ignored;
      fs::remove_all(*aside, ignored);
    }
  };
  return mover;
}

TransferMode TransferMode::data(DataWriter writer) { return TransferMode(Kind::data, std::move(writer), {}); }

TransferMode TransferMode::file(FileMover mover) { return TransferMode(Kind::file, {}, std::move(mover)); }

Error::Error(std::string description, int statusCode)
    : platform::Error("AssetDownloader.Error", kDomain, 0,
                      fmt::format("Unexpected response (status {}) while downloading {}", statusCode, description)),
      assetDescription_(std::move(description)),
      statusCode_(statusCode) {}

Error Error::invalidResponse(std::string description, int statusCode) {
  return Error(std::move(description), statusCode);
}

fs::path ensure(const Descriptor& descriptor, const platform::HttpClient& session, const AppLogger& logger,
                std::stop_token stop) {
  const fs::path& destination = descriptor.destinationURL;
  if (descriptor.skipIfExists && itemExists(destination)) return destination;
  const fs::path parent = destination.parent_path();
  if (std::error_code error; !parent.empty() && !fs::create_directories(parent, error) && error) {
    throw platform::FileError::fromErrno("create directory", parent, error.value());
  }
  logger.info("Downloading " + descriptor.description + "\u2026");

  const platform::HttpRequest request = plainRequest(descriptor.remoteURL);
  if (descriptor.transferMode.kind() == TransferMode::Kind::data) {
    const platform::HttpResponse response = session.send(request, stop);
    const int status = statusOf(response);
    if (!isSuccess(status)) throw Error::invalidResponse(descriptor.description, status);
    descriptor.transferMode.writer()(response.body, destination);
  } else {
    FileSaver saver(platform::StandardPaths::temporaryDirectory() /
                    ("tesselaudio-asset-" + platform::Uuid::random().toString() + ".download"));
    const platform::HttpResponse response = session.stream(request, saver, stop);
    const int status = statusOf(response);
    if (!isSuccess(status)) throw Error::invalidResponse(descriptor.description, status);
    descriptor.transferMode.mover()(saver.finish(), destination);
  }
  logger.info("Cached " + descriptor.description + " at " + destination.string());
  return destination;
}

std::string fetchData(const platform::Url& from, const std::string& description, const platform::HttpClient& session,
                      const AppLogger& logger, std::stop_token stop) {
  logger.debug("Fetching " + description + " from " + from.text());
  platform::HttpResponse response = session.send(plainRequest(from), stop);
  const int status = statusOf(response);
  if (!isSuccess(status)) throw Error::invalidResponse(description, status);
  return std::move(response.body);
}

}  // namespace tesselaudio::AssetDownloader
