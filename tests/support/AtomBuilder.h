#pragma once

// Builds QuickTime / MPEG-4 atoms byte by byte, so that tests can make exactly the files they need,
// broken ones included. Every integer is written big-endian.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes be32(std::uint32_t value);
Bytes be64(std::uint64_t value);
// The bytes of `text` as they are.
Bytes raw(std::string_view text);
// The parts one after the other.
Bytes join(std::initializer_list<Bytes> parts);

// An atom with a 32-bit size: size, four-character type, payload.
Bytes atom(std::string_view type, const Bytes& payload);
// An atom whose payload is its children one after the other.
Bytes atom(std::string_view type, std::initializer_list<Bytes> children);
// An atom with size 1 and the 64-bit size after the type.
Bytes largeAtom(std::string_view type, const Bytes& payload);

// A 'mvhd' atom of version 0 (32-bit duration) or 1 (64-bit duration).
Bytes mvhd(std::uint32_t timeScale, std::uint64_t duration, int version = 0);

// A 'meta' atom holding one item: the key `key` in `keyNamespace` and its value in a 'data' atom
// (8 bytes of type and locale indicators, then `value`). `isoForm` adds the 4 zero bytes of version
// and flags that the ISO form of 'meta' starts with.
Bytes metaItem(std::string_view keyNamespace, std::string_view key, const Bytes& value,
               bool isoForm);

// A small movie file in Voice Memos' layout: 'ftyp', an 'mdat' of `mediaBytes` zero bytes, then
// 'moov' with a 'mvhd' of 2.5 s and one track whose 'udta' holds 'tsrp' with `transcriptJson`.
Bytes voiceMemosFile(std::string_view transcriptJson, std::size_t mediaBytes = 64);

// `movie` (an MPEG-4 file whose 'moov' follows its media, as FFmpeg writes them) with a 'udta' atom
// holding 'tsrp' with `transcriptJson` appended to its first track, where Voice Memos keeps its
// transcript. Throws std::invalid_argument when the file has no 'moov' with a 'trak'.
Bytes withTranscript(const Bytes& movie, std::string_view transcriptJson);

// Writes `bytes` to `path`, replacing the file. Throws std::runtime_error on failure.
void writeFile(const std::filesystem::path& path, const Bytes& bytes);
// The whole file. Throws std::runtime_error on failure.
Bytes readFile(const std::filesystem::path& path);

}  // namespace testsupport
