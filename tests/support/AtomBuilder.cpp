#include "tests/support/AtomBuilder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace testsupport {

Bytes be32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

Bytes be64(std::uint64_t value) {
  return join({be32(static_cast<std::uint32_t>(value >> 32)),
               be32(static_cast<std::uint32_t>(value))});
}

Bytes raw(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes atom(std::string_view type, const Bytes& payload) {
  if (type.size() != 4) throw std::invalid_argument("an atom type has four characters");
  return join({be32(static_cast<std::uint32_t>(8 + payload.size())), raw(type), payload});
}

Bytes atom(std::string_view type, std::initializer_list<Bytes> children) {
  return atom(type, join(children));
}

Bytes largeAtom(std::string_view type, const Bytes& payload) {
  if (type.size() != 4) throw std::invalid_argument("an atom type has four characters");
  return join({be32(1), raw(type), be64(16 + payload.size()), payload});
}

Bytes mvhd(std::uint32_t timeScale, std::uint64_t duration, int version) {
  Bytes payload;
  if (version == 1) {
    // version and flags, creation and modification times (8 bytes each), scale, duration
    payload = join({be32(0x01000000), be64(0), be64(0), be32(timeScale), be64(duration)});
  } else {
    payload = join({be32(0), be32(0), be32(0), be32(timeScale),
                    be32(static_cast<std::uint32_t>(duration))});
  }
  payload.resize(payload.size() + 80, 0);  // rate, volume, matrix and the rest
  return atom("mvhd", payload);
}

Bytes metaItem(std::string_view keyNamespace, std::string_view key, const Bytes& value,
               bool isoForm) {
  const Bytes keys = atom("keys", join({be32(0), be32(1),
                                        be32(static_cast<std::uint32_t>(8 + key.size())),
                                        raw(keyNamespace), raw(key)}));
  const Bytes items = atom("ilst", {join({be32(static_cast<std::uint32_t>(8 + 8 + 8 + value.size())),
                                          be32(1),  // the item's type is the key's number
                                          atom("data", join({be32(1), be32(0), value}))})});
  return atom("meta", join({isoForm ? be32(0) : Bytes{}, keys, items}));
}

Bytes voiceMemosFile(std::string_view transcriptJson, std::size_t mediaBytes) {
  return join({atom("ftyp", join({raw("M4A "), be32(0), raw("M4A mp42isom")})),
               atom("mdat", Bytes(mediaBytes, 0)),
               atom("moov", {mvhd(1000, 2500),
                             atom("trak", {atom("udta", {atom("tsrp", raw(transcriptJson))})})})});
}

namespace {

std::uint32_t readBe32(const Bytes& bytes, std::size_t at) {
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
         (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

void writeBe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  const Bytes encoded = be32(value);
  std::copy(encoded.begin(), encoded.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// The offset of the first atom of `type` between `begin` and `end` (32-bit sizes only).
std::optional<std::size_t> findAtom(const Bytes& bytes, std::size_t begin, std::size_t end,
                                    std::string_view type) {
  for (std::size_t at = begin; at + 8 <= end;) {
    const std::uint32_t size = readBe32(bytes, at);
    if (std::equal(type.begin(), type.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 4))) {
      return at;
    }
    if (size < 8) return std::nullopt;
    at += size;
  }
  return std::nullopt;
}

}  // namespace

Bytes withTranscript(const Bytes& movie, std::string_view transcriptJson) {
  Bytes bytes = movie;
  const auto moov = findAtom(bytes, 0, bytes.size(), "moov");
  if (!moov) throw std::invalid_argument("no moov atom");
  const std::size_t moovEnd = *moov + readBe32(bytes, *moov);
  const auto trak = findAtom(bytes, *moov + 8, moovEnd, "trak");
  if (!trak) throw std::invalid_argument("no trak atom");
  const std::size_t trakEnd = *trak + readBe32(bytes, *trak);
  const Bytes userData = atom("udta", {atom("tsrp", raw(transcriptJson))});
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(trakEnd), userData.begin(), userData.end());
  const auto grown = static_cast<std::uint32_t>(userData.size());
  writeBe32(bytes, *trak, readBe32(bytes, *trak) + grown);
  writeBe32(bytes, *moov, readBe32(bytes, *moov) + grown);
  return bytes;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
