#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace voicememos {

// The summary of one audio file on disk: its type, size, duration and whether it carries a stored
// transcript. A plain value.
struct AudioFile {
  std::filesystem::path url;
  // The audio file type of the path's extension ("public.mpeg-4-audio" for .m4a); none when the
  // extension names no audio type this build knows.
  std::optional<std::string> contentType;
  // Bytes; always above 0.
  std::int64_t size = 0;
  // Seconds, from the movie header; none for a file without one.
  std::optional<double> duration;
  // Whether the movie header holds a transcript document (which is not decoded here).
  bool hasTranscript = false;

  // Summarises the file at `url`. None unless `url` is a regular, non-empty file (a symbolic link
  // to one counts). Never throws: a file whose movie header cannot be read has no duration and no
  // transcript.
  static std::optional<AudioFile> fromURL(const std::filesystem::path& url);

  // The content type's MIME type; else "audio/x-quicktime" for the extension "qta" in any case;
  // else none.
  std::optional<std::string> mimeType() const;

  bool operator==(const AudioFile&) const = default;
};

}  // namespace voicememos
