#pragma once

// The movie header of a QuickTime or MPEG-4 file, as far as Voice Memos recordings need it.
//
// A file is a sequence of atoms. Every atom starts with a 4-byte big-endian size (the whole atom,
// header included) and a 4-byte type; size 1 means a 64-bit size follows the type (header 16
// bytes), size 0 means the atom runs to the end of the enclosing range. Only the top-level 'moov'
// atom is loaded; everything before it ('mdat' and the like) is skipped by seeking. Inside it:
//   moov/mvhd                      duration: version 0 has a 4-byte time scale at 12 and a 4-byte
//                                  duration at 16, version 1 a time scale at 20 and 8 bytes at 24
//   moov/trak/udta/tsrp            the transcript document (Voice Memos)
//   moov/trak/mdia/udta/tsrp       the same, one level down
//   moov/trak/meta/{keys,ilst}     the metadata item "com.apple.VoiceMemos.tsrp" in the 'mdta'
//                                  namespace; its value starts 8 bytes into the item's 'data' atom
// The first track that holds a transcript wins; a track's own 'udta' before its 'mdia/udta',
// both before its 'meta'.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace voicememos {

// The payload of a file's first top-level 'moov' atom. A plain value; safe from any thread.
struct MovieHeader {
  // The largest 'moov' payload that is loaded.
  static constexpr std::uint64_t kMaxMovieBytes = 64ull * 1024 * 1024;

  // The 'moov' payload, without its header.
  std::vector<std::uint8_t> bytes;

  // Reads the movie atom of the file at `contentsOf`. Only atom headers are read until 'moov'.
  // Returns none when the file has no top-level 'moov' atom (fewer than 8 bytes left before one).
  // Throws platform::FileError when the file cannot be opened or read (a folder included), and
  // VoiceMemosError::malformedAudioFile for a broken top-level atom or a movie atom above
  // kMaxMovieBytes or cut short. The file is closed on every path.
  static std::optional<MovieHeader> contentsOf(const std::filesystem::path& contentsOf);

  // The movie duration in seconds from 'mvhd'; none without one, when it is too short, or when its
  // time scale is 0.
  std::optional<double> duration() const;

  // The raw transcript document (see the top of this file); none when no track holds one. A
  // malformed atom inside the movie only ends the walk of its level.
  std::optional<std::vector<std::uint8_t>> transcriptData() const;

  bool operator==(const MovieHeader&) const = default;
};

}  // namespace voicememos
