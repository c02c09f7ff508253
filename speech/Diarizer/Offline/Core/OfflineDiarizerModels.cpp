#include "speech/Diarizer/Offline/Core/OfflineDiarizerModels.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/sys/FileIO.h"
#include "platform/sys/JsonCodingError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
namespace Names = ModelNames::OfflineDiarizer;
using platform::MLComputeUnits;
using Clock = std::chrono::steady_clock;

constexpr const char* kVariant = "offline";

const AppLogger& logger() {
  static const AppLogger instance("OfflineDiarizerModels");
  return instance;
}

std::string_view computeUnitsName(MLComputeUnits units) {
  switch (units) {
    case MLComputeUnits::cpuOnly: return ".cpuOnly";
    case MLComputeUnits::cpuAndGPU: return ".cpuAndGPU";
    case MLComputeUnits::all: return ".all";
    case MLComputeUnits::cpuAndNeuralEngine: return ".cpuAndNeuralEngine";
  }
  return ".unknown";
}

// The value of one Base64 character, or -1 outside the standard alphabet.
int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes standard Base64, skipping every character that is neither in the alphabet nor "=".
// What remains must be whole groups of four with "=" only as the padding of the last group;
// anything else gives none.
std::optional<std::string> decodeBase64(std::string_view text) {
  std::string symbols;
  symbols.reserve(text.size());
  for (char c : text) {
    if (c == '=' || base64Value(c) >= 0) symbols.push_back(c);
  }
  if (symbols.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(symbols.size() / 4 * 3);
  for (std::size_t at = 0; at < symbols.size(); at += 4) {
    const bool last = at + 4 == symbols.size();
    std::array<int, 4> values{};
    int padding = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = symbols[at + static_cast<std::size_t>(i)];
      if (c == '=') {
        ++padding;
        values[static_cast<std::size_t>(i)] = 0;
      } else {
        if (padding > 0) return std::nullopt;  // a symbol after padding
        values[static_cast<std::size_t>(i)] = base64Value(c);
      }
    }
    if (padding > 2 || (padding > 0 && !last)) return std::nullopt;
    const std::uint32_t group = (static_cast<std::uint32_t>(values[0]) << 18) |
                                (static_cast<std::uint32_t>(values[1]) << 12) |
                                (static_cast<std::uint32_t>(values[2]) << 6) | static_cast<std::uint32_t>(values[3]);
    bytes.push_back(static_cast<char>((group >> 16) & 0xFF));
    if (padding < 2) bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding < 1) bytes.push_back(static_cast<char>(group & 0xFF));
  }
  return bytes;
}

std::vector<double> littleEndianFloats(const std::string& bytes) {
  std::vector<double> values(bytes.size() / 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + i * 4);
    const std::uint32_t bits = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    values[i] = value;
  }
  return values;
}

std::optional<fs::path> findPLDAFile(const fs::path& folder) {
  const std::string file(Names::pldaParameters);
  for (const fs::path& candidate :
       {folder / file, folder / "speaker-diarization" / file, folder / "speaker-diarization-coreml" / file,
        folder / "speaker-diarization-offline" / file}) {
    std::error_code error;
    if (fs::exists(candidate, error)) return candidate;
  }
  return std::nullopt;
}

std::shared_ptr<platform::MLModel> take(const ModelHub::ModelMap& models, std::string_view file,
                                        std::string_view name) {
  const auto found = models.find(std::string(file));
  if (found == models.end() || !found->second) {
    throw OfflineDiarizationError::modelNotLoaded(std::string(name));
  }
  return found->second;
}

}  // namespace

OfflineDiarizerModels OfflineDiarizerModels::load(const std::optional<fs::path>& from,
                                                  const std::optional<platform::MLModelConfiguration>& configuration,
                                                  const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path folder = from.value_or(defaultModelsDirectory());
  logger().info("Loading offline diarization models from " + folder.string());
  const auto start = Clock::now();
  const MLComputeUnits units = configuration ? configuration->computeUnits : MLComputeUnits::all;

  const std::vector<std::string> mainNames = {std::string(Names::segmentationFile),
                                              std::string(Names::embeddingFile),
                                              std::string(Names::pldaRhoFile)};
  const auto main = ModelHub::loadModels(Repo::diarizer, mainNames, folder, units, kVariant,
                                         DownloadConfig::default_(), progressHandler, stop);
  OfflineDiarizerModels models;
  models.segmentationModel = take(main, Names::segmentationFile, Names::segmentation);
  models.embeddingModel = take(main, Names::embeddingFile, Names::embedding);
  models.pldaRhoModel = take(main, Names::pldaRhoFile, Names::pldaRho);

  // The filter bank runs on the CPU whatever the caller asks for.
  const auto fbank = ModelHub::loadModels(Repo::diarizer, {std::string(Names::fbankFile)}, folder,
                                          MLComputeUnits::cpuOnly, kVariant, DownloadConfig::default_(),
                                          progressHandler, stop);
  models.fbankModel = take(fbank, Names::fbankFile, Names::fbank);
  models.pldaPsi = loadPLDAPsi(folder);
  models.compilationDuration = std::chrono::duration<double>(Clock::now() - start).count();

  logger().info(fmt::format(
      "Offline diarization models ready (compile: {:.3f}s, computeUnits: segmentation/embedding/plda={}, fbank={})",
      models.compilationDuration, computeUnitsName(units), computeUnitsName(MLComputeUnits::cpuOnly)));
  return models;
}

fs::path OfflineDiarizerModels::defaultModelsDirectory() {
  return MLModelConfigurationUtils::defaultModelsDirectory();
}

std::vector<double> OfflineDiarizerModels::loadPLDAPsi(const fs::path& folder) {
  const auto file = findPLDAFile(folder);
  if (!file) throw OfflineDiarizationError::processingFailed("PLDA parameters file not found in " + folder.string());

  const std::string text = platform::readFile(*file);
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded()) throw platform::JsonCodingError::dataCorrupted("plda-parameters.json is not JSON");

  const auto decodeFailed = [] { return OfflineDiarizationError::processingFailed("Failed to decode PLDA psi parameters"); };
  if (!json.is_object()) throw decodeFailed();
  const auto tensors = json.find("tensors");
  if (tensors == json.end() || !tensors->is_object()) throw decodeFailed();
  const auto psi = tensors->find("psi");
  if (psi == tensors->end() || !psi->is_object()) throw decodeFailed();
  const auto data = psi->find("data_base64");
  if (data == psi->end() || !data->is_string()) throw decodeFailed();
  const auto bytes = decodeBase64(data->get_ref<const std::string&>());
  if (!bytes) throw decodeFailed();

  if (bytes->size() < 4) throw OfflineDiarizationError::processingFailed("PLDA psi tensor is empty");
  return littleEndianFloats(*bytes);
}

}  // namespace tesselaudio
