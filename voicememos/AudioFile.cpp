#include "voicememos/AudioFile.h"

#include <array>
#include <string_view>
#include <system_error>

#include "platform/sys/Error.h"
#include "voicememos/MovieHeader.h"

namespace voicememos {
namespace {

// The audio types this build names, by lower-case path extension.
struct AudioType {
  std::string_view extension;
  std::string_view identifier;
  std::string_view mimeType;
};

constexpr std::array kAudioTypes{
    AudioType{"m4a", "public.mpeg-4-audio", "audio/mp4"},
    AudioType{"mp4", "public.mpeg-4-audio", "audio/mp4"},
    AudioType{"aac", "public.aac-audio", "audio/aac"},
    AudioType{"mp3", "public.mp3", "audio/mpeg"},
    AudioType{"wav", "com.microsoft.waveform-audio", "audio/wav"},
    AudioType{"aif", "public.aiff-audio", "audio/aiff"},
    AudioType{"aiff", "public.aiff-audio", "audio/aiff"},
    AudioType{"caf", "com.apple.coreaudio-format", "audio/x-caf"},
    AudioType{"flac", "org.xiph.flac", "audio/flac"},
};

std::string lowerExtension(const std::filesystem::path& url) {
  std::string extension = url.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

const AudioType* audioType(std::string_view extension) {
  for (const AudioType& type : kAudioTypes) {
    if (type.extension == extension) return &type;
  }
  return nullptr;
}

}  // namespace

std::optional<AudioFile> AudioFile::fromURL(const std::filesystem::path& url) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(url, error) || error) return std::nullopt;
  const auto size = std::filesystem::file_size(url, error);
  if (error || size == 0) return std::nullopt;

  AudioFile file;
  file.url = url;
  file.size = static_cast<std::int64_t>(size);
  if (const AudioType* type = audioType(lowerExtension(url))) {
    file.contentType = std::string(type->identifier);
  }
  try {
    if (const auto header = MovieHeader::contentsOf(url)) {
      file.duration = header->duration();
      file.hasTranscript = header->transcriptData().has_value();
    }
  } catch (const platform::Error&) {
    // A file that is not a readable movie is still an audio file, without duration.
  }
  return file;
}

std::optional<std::string> AudioFile::mimeType() const {
  if (contentType) {
    for (const AudioType& type : kAudioTypes) {
      if (type.identifier == *contentType) return std::string(type.mimeType);
    }
  }
  if (lowerExtension(url) == "qta") return "audio/x-quicktime";
  return std::nullopt;
}

}  // namespace voicememos
