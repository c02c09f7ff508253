#include "tests/support/RiffBuilder.h"

namespace testsupport {

Bytes littleEndian(std::uint64_t value, int width) {
  Bytes bytes;
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
  return bytes;
}

namespace {

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void appendTag(Bytes& to, const std::string& tag) {
  for (char c : tag) to.push_back(static_cast<std::byte>(c));
}

}  // namespace

Bytes riffWave(const std::vector<RiffChunk>& chunks) {
  Bytes body;
  appendTag(body, "WAVE");
  for (const RiffChunk& chunk : chunks) {
    appendTag(body, chunk.tag);
    append(body, littleEndian(chunk.sizeField.value_or(static_cast<std::uint32_t>(chunk.body.size())), 4));
    append(body, chunk.body);
    if (chunk.body.size() % 2 == 1) body.push_back(std::byte{0});
  }
  Bytes file;
  appendTag(file, "RIFF");
  append(file, littleEndian(body.size(), 4));
  append(file, body);
  return file;
}

Bytes formatBody(std::uint16_t formatTag, std::uint16_t channels, std::uint32_t sampleRate,
                 std::uint16_t bitsPerSample) {
  const std::uint32_t blockAlign = channels * bitsPerSample / 8;
  Bytes body;
  append(body, littleEndian(formatTag, 2));
  append(body, littleEndian(channels, 2));
  append(body, littleEndian(sampleRate, 4));
  append(body, littleEndian(sampleRate * blockAlign, 4));
  append(body, littleEndian(blockAlign, 2));
  append(body, littleEndian(bitsPerSample, 2));
  return body;
}

Bytes extensibleFormatBody(std::uint16_t subFormat, std::uint16_t channels, std::uint32_t sampleRate,
                           std::uint16_t bitsPerSample) {
  Bytes body = formatBody(0xFFFE, channels, sampleRate, bitsPerSample);
  append(body, littleEndian(22, 2));             // extension size
  append(body, littleEndian(bitsPerSample, 2));  // valid bits
  append(body, littleEndian(channels == 1 ? 0x4 : 0x3, 4));  // channel mask
  // The sub-format GUID: its first two bytes are the format code, the rest the fixed suffix.
  append(body, littleEndian(subFormat, 2));
  const std::uint8_t suffix[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  for (std::uint8_t b : suffix) body.push_back(static_cast<std::byte>(b));
  return body;
}

Bytes pcm16(const std::vector<std::int16_t>& samples) {
  Bytes bytes;
  for (std::int16_t s : samples) append(bytes, littleEndian(static_cast<std::uint16_t>(s), 2));
  return bytes;
}

}  // namespace testsupport
