#include "speech/ASR/Parakeet/AsrModelVersion.h"

#include <array>
#include <cassert>
#include <cstddef>

#include "speech/Shared/ModelNames.h"

namespace tesselaudio {
namespace {

using Case = AsrModelVersion::Case;

struct Entry {
  Case value;
  Repo::Case repo;
  int64_t blankId;
  int64_t decoderLayers;
  int64_t encoderHiddenSize;
  const char* macOS15PlatformName;  // nullptr: runs everywhere
};

constexpr std::array<Entry, 10> kEntries = {{
    {Case::v2, Repo::parakeetV2, 1024, 2, 1024, nullptr},
    {Case::v3, Repo::parakeetV3, 8192, 2, 1024, nullptr},
    {Case::redux, Repo::parakeetRedux, 8192, 2, 1024, "Parakeet Redux"},
    {Case::ultra, Repo::parakeetUltra, 8192, 2, 1024, nullptr},
    {Case::quillet2, Repo::quillet2, 8192, 2, 1024, "Quillet-2"},
    {Case::quillet25, Repo::quillet25, 8192, 2, 1024, "Quillet-2.5"},
    {Case::thistle3, Repo::thistle3, 8192, 2, 1024, "Thistle 3.0"},
    {Case::thistle3Clean, Repo::thistle3Clean, 8192, 2, 1024, "Thistle 3.0 Clean"},
    {Case::tdtCtc110m, Repo::parakeetTdtCtc110m, 1024, 1, 512, nullptr},
    {Case::tdtJa, Repo::parakeetJa, 3072, 2, 1024, nullptr},
}};

constexpr bool entriesFollowDeclarationOrder() {
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    if (static_cast<std::size_t>(kEntries[i].value) != i) return false;
  }
  return true;
}
static_assert(entriesFollowDeclarationOrder());

constexpr std::array<AsrModelVersion, 10> kAllCases = {
    Case::v2,       Case::v3,       Case::redux,         Case::ultra,      Case::quillet2,
    Case::quillet25, Case::thistle3, Case::thistle3Clean, Case::tdtCtc110m, Case::tdtJa};

const Entry& entry(AsrModelVersion version) {
  const auto index = static_cast<std::size_t>(static_cast<Case>(version));
  assert(index < kEntries.size());
  return kEntries[index];
}

}  // namespace

std::span<const AsrModelVersion> AsrModelVersion::allCases() { return kAllCases; }

Repo AsrModelVersion::repo() const { return entry(*this).repo; }

int64_t AsrModelVersion::blankId() const { return entry(*this).blankId; }

int64_t AsrModelVersion::decoderLayers() const { return entry(*this).decoderLayers; }

int64_t AsrModelVersion::encoderHiddenSize() const { return entry(*this).encoderHiddenSize; }

bool AsrModelVersion::hasFusedEncoder() const { return value_ == tdtCtc110m; }

bool AsrModelVersion::isV3Family() const { return value_ >= v3 && value_ <= thistle3Clean; }

std::optional<std::string_view> AsrModelVersion::macOS15PlatformName() const {
  const char* name = entry(*this).macOS15PlatformName;
  if (name == nullptr) return std::nullopt;
  return name;
}

std::string_view AsrModelVersion::preprocessorFile() const { return ModelNames::ASR::preprocessorFile; }

std::optional<std::string_view> AsrModelVersion::encoderFile(ParakeetEncoderPrecision precision) const {
  switch (value_) {
    case v3:
      return precision.encoderFileName();
    case tdtCtc110m:
      return std::nullopt;
    case tdtJa:
      return ModelNames::TDTJa::encoderFile;
    default:
      return ModelNames::ASR::encoderFile;
  }
}

std::string_view AsrModelVersion::decoderFile() const {
  return value_ == tdtJa ? ModelNames::TDTJa::decoderFile : ModelNames::ASR::decoderFile;
}

std::string_view AsrModelVersion::jointFile() const {
  switch (value_) {
    case v2:
    case tdtCtc110m:
      return ModelNames::ASR::jointFile;
    case tdtJa:
      return ModelNames::TDTJa::jointFile;
    default:
      return ModelNames::ASR::jointV3File;
  }
}

std::string_view AsrModelVersion::vocabularyFile() const {
  return value_ == tdtJa ? ModelNames::TDTJa::vocabularyFile : ModelNames::ASR::vocabularyFile;
}

std::optional<std::string> AsrModelVersion::hubVariant(ParakeetEncoderPrecision precision) const {
  if (value_ != v3) return std::nullopt;
  return std::string(precision.rawValue());
}

}  // namespace tesselaudio
