#include "speech/Shared/DiskBackedAudioSampleSource.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <system_error>
#include <utility>

namespace tesselaudio {
namespace {

static_assert(std::endian::native == std::endian::little,
              "sample files are little-endian and read without swapping");

constexpr float kPcm16Scale = 1.0f / 32768.0f;  // 2^-15, exact in single precision

// Written so that the compiler vectorises it: a load through memcpy, a widening and one multiply.
void convertPcm16(const std::byte* source, float* destination, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    std::int16_t value;
    std::memcpy(&value, source + 2 * i, sizeof value);
    destination[i] = static_cast<float>(value) * kPcm16Scale;
  }
}

}  // namespace

DiskBackedAudioSampleSource::DiskBackedAudioSampleSource(
    std::shared_ptr<const platform::MappedFile> mappedData, std::filesystem::path fileURL)
    : mappedData_(std::move(mappedData)),
      encoding_(Encoding::float32()),
      temporaryFileURL_(std::move(fileURL)),
      sampleCount_(static_cast<std::int64_t>(mappedData_->size() / sizeof(float))) {}

DiskBackedAudioSampleSource::DiskBackedAudioSampleSource(
    std::shared_ptr<const platform::MappedFile> mappedData, Encoding encoding,
    std::optional<std::filesystem::path> temporaryFileURL, std::int64_t sampleCount)
    : mappedData_(std::move(mappedData)),
      encoding_(encoding),
      temporaryFileURL_(std::move(temporaryFileURL)),
      sampleCount_(sampleCount) {
  assert(mappedData_);
}

void DiskBackedAudioSampleSource::copySamples(float* destination, std::int64_t offset,
                                              std::int64_t count) const {
  const Span span = clampedSpan(sampleCount_, offset, count);
  if (span.n == 0) return;
  const std::byte* bytes = mappedData_->data();
  if (encoding_.kind == Encoding::Kind::pcm16) {
    convertPcm16(bytes + encoding_.dataOffset + 2 * span.start, destination, span.n);
  } else {
    std::memmove(destination, bytes + sizeof(float) * static_cast<std::size_t>(span.start),
                 sizeof(float) * static_cast<std::size_t>(span.n));
  }
}

void DiskBackedAudioSampleSource::cleanup() const {
  if (!temporaryFileURL_) return;
  std::error_code ignored;
  std::filesystem::remove(*temporaryFileURL_, ignored);
}

}  // namespace tesselaudio
