#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/net/HttpClient.h"
#include "platform/net/Url.h"
#include "platform/sys/Error.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Fetches one remote asset to a fixed place on disk, once: an asset already there is left alone,
// otherwise it is downloaded in a single attempt (no retry, no resume, no token, no offline
// switch), its HTTP status checked, and the body handed to a writer (data kept in memory) or a
// mover (a file the client saved). The caller brings the HTTP client and the logger. Stateless;
// safe from any thread.
//
//   AssetDownloader::Descriptor voice{"voice pack", *platform::Url::parse(address), folder / "voice.bin",
//                                     true, AssetDownloader::TransferMode::data()};
//   auto path = AssetDownloader::ensure(voice, platform::HttpClient::shared(), logger, stop);
namespace AssetDownloader {

// Puts `bytes` at `destination`; throws on failure.
using DataWriter = std::function<void(std::string_view bytes, const std::filesystem::path& destination)>;
// Puts the downloaded file at `destination`; throws on failure.
using FileMover = std::function<void(const std::filesystem::path& downloaded, const std::filesystem::path& destination)>;

// Writes the bytes atomically: a temporary file in the destination's folder, flushed to disk, then
// renamed over the destination. Throws platform::FileError; the old file is then untouched.
const DataWriter& defaultDataWriter();

// Removes whatever is at the destination, then renames the downloaded file into its place; when
// the two lie on different file systems, copies it (through a temporary file beside the
// destination) and removes the original. Throws platform::FileError when a removal or the move
// fails; the old item is then back in its place.
const FileMover& defaultFileMover();

// How the body reaches the disk. A value type.
class TransferMode {
 public:
  enum class Kind { data, file };

  // The body is held in memory, then `writer` puts it at the destination.
  static TransferMode data(DataWriter writer = defaultDataWriter());
  // The body is saved to a temporary file, then `mover` puts that file at the destination.
  static TransferMode file(FileMover mover = defaultFileMover());

  Kind kind() const { return kind_; }
  const DataWriter& writer() const { return writer_; }
  const FileMover& mover() const { return mover_; }

 private:
  TransferMode(Kind kind, DataWriter writer, FileMover mover)
      : kind_(kind), writer_(std::move(writer)), mover_(std::move(mover)) {}

  Kind kind_;
  DataWriter writer_;
  FileMover mover_;
};

// What to fetch and where to put it. A value type.
struct Descriptor {
  // The asset's name in log lines and errors.
  std::string description;
  platform::Url remoteURL;
  std::filesystem::path destinationURL;
  // When true and anything exists at destinationURL, nothing is fetched.
  bool skipIfExists = false;
  TransferMode transferMode = TransferMode::data();
};

// An answer that is not a success. Its description is "Unexpected response (status <statusCode>)
// while downloading <description>".
class Error : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.AssetDownloader.Error";

  enum class Case { invalidResponse };

  // `statusCode`: the HTTP status, or -1 when the answer carried none.
  static Error invalidResponse(std::string description, int statusCode);

  Case errorCase() const { return Case::invalidResponse; }
  const std::string& assetDescription() const { return assetDescription_; }
  int statusCode() const { return statusCode_; }

 private:
  Error(std::string description, int statusCode);

  std::string assetDescription_;
  int statusCode_;
};

// Makes sure the asset is at descriptor.destinationURL and returns that path. With skipIfExists and
// an item already there, returns at once (no request, no log line). Otherwise creates the
// destination's folders, logs "Downloading <description>…", fetches the asset with `session`,
// hands a 2xx body to the mode's handler and logs "Cached <description> at <path>".
// Throws the file system's error when the folders cannot be made (nothing fetched); the client's
// error or a cancellation unchanged; Error::invalidResponse for any other status (the handler is
// not called); the handler's error (no "Cached" line). Nothing is retried or cleaned up.
std::filesystem::path ensure(const Descriptor& descriptor, const platform::HttpClient& session,
                             const AppLogger& logger, std::stop_token stop = {});

// Logs "Fetching <description> from <URL>" at debug level, loads the body with `session` and
// returns it when the status is 2xx.
// Throws Error::invalidResponse for any other status (-1 without one); the client's error or a
// cancellation unchanged.
std::string fetchData(const platform::Url& from, const std::string& description, const platform::HttpClient& session,
                      const AppLogger& logger, std::stop_token stop = {});

}  // namespace AssetDownloader
}  // namespace tesselaudio
