#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"

#include <array>
#include <utility>

namespace tesselaudio {
namespace {

constexpr std::string_view kInt8Suffix = "-int8";
constexpr std::string_view kCompiledExtension = ".mlmodelc";

// The split presets exist only through the lookup by name.
Nemotron3Config split(std::int64_t chunkLen, const char* modelFileName) {
  return Nemotron3Config(chunkLen, 0, 4, 40, 264, 40, modelFileName, true);
}

// Every ".mlmodelc" of `fileName` with `rounds` × "_int8" before it: the same as replacing every
// ".mlmodelc" with "_int8.mlmodelc" `rounds` times, since the replacement makes no new match.
std::string withInt8Rounds(const std::string& fileName, std::size_t rounds) {
  std::string infix;
  infix.reserve(rounds * 5);
  for (std::size_t i = 0; i < rounds; ++i) infix += "_int8";
  std::string result;
  std::size_t from = 0;
  for (auto at = fileName.find(kCompiledExtension); at != std::string::npos;
       at = fileName.find(kCompiledExtension, from)) {
    result.append(fileName, from, at - from).append(infix).append(kCompiledExtension);
    from = at + kCompiledExtension.size();
  }
  return result.append(fileName, from, std::string::npos);
}

// The static presets in declaration order, built once on first use.
const std::array<Nemotron3Config, 9>& staticPresets() {
  static const std::array<Nemotron3Config, 9> presets = {
      Nemotron3Config(340, 0, 40, 40, 264, 300, "Nemotron3Diarizer_offline.mlmodelc"),
      Nemotron3Config(9, 0, 4, 264, 264, 222, "Nemotron3Diarizer_low.mlmodelc"),
      Nemotron3Config(6, 0, 2, 264, 264, 222, "Nemotron3Diarizer_verylow.mlmodelc"),
      Nemotron3Config(3, 0, 1, 264, 264, 222, "Nemotron3Diarizer_ultra.mlmodelc"),
      Nemotron3Config(9, 0, 4, 40, 264, 40, "Nemotron3Diarizer_fast.mlmodelc"),
      Nemotron3Config(48, 0, 4, 264, 264, 222, "Nemotron3Diarizer_efficient.mlmodelc"),
      Nemotron3Config(24, 0, 4, 40, 264, 40, "Nemotron3Diarizer_fast24.mlmodelc"),
      Nemotron3Config(32, 0, 4, 40, 264, 40, "Nemotron3Diarizer_fast32.mlmodelc"),
      Nemotron3Config(128, 0, 4, 40, 264, 40, "Nemotron3Diarizer_fast128.mlmodelc"),
  };
  return presets;
}

std::optional<Nemotron3Config> exactPreset(std::string_view name) {
  if (name == "offline") return Nemotron3Config::offline();
  if (name == "low") return Nemotron3Config::low();
  if (name == "verylow") return Nemotron3Config::veryLow();
  if (name == "ultra") return Nemotron3Config::ultraLow();
  if (name == "fast") return Nemotron3Config::fast();
  if (name == "fast24") return Nemotron3Config::fast24();
  if (name == "fast32") return Nemotron3Config::fast32();
  if (name == "fast128") return Nemotron3Config::fast128();
  if (name == "efficient") return Nemotron3Config::efficient();
  if (name == "fast32-split") return split(32, "Nemotron3Diarizer_s32_split.mlmodelc");
  if (name == "fast32-split-w8a8") return split(32, "Nemotron3Diarizer_s32_split_w8a8.mlmodelc");
  if (name == "c128-split") return split(128, "Nemotron3Diarizer_c128_split.mlmodelc");
  if (name == "c128-split-w8a8") return split(128, "Nemotron3Diarizer_c128_split_w8a8.mlmodelc");
  if (name == "c192-split") return split(192, "Nemotron3Diarizer_c192_split.mlmodelc");
  if (name == "c256-split") return split(256, "Nemotron3Diarizer_c256_split.mlmodelc");
  return std::nullopt;
}

}  // namespace

Nemotron3Config::Nemotron3Config(std::int64_t chunkLen, std::int64_t chunkLeftContext,
                                 std::int64_t chunkRightContext, std::int64_t fifoLen,
                                 std::int64_t spkcacheLen, std::int64_t spkcacheUpdatePeriod,
                                 std::string modelFileName, bool splitGraph)
    : chunkLen(chunkLen),
      chunkLeftContext(chunkLeftContext),
      chunkRightContext(chunkRightContext),
      fifoLen(fifoLen),
      spkcacheLen(spkcacheLen),
      spkcacheUpdatePeriod(spkcacheUpdatePeriod),
      modelFileName(std::move(modelFileName)),
      splitGraph(splitGraph) {}

std::int64_t Nemotron3Config::chunkEncFrames() const { return chunkLen + chunkLeftContext + chunkRightContext; }

std::int64_t Nemotron3Config::chunkMelFrames() const { return chunkEncFrames() * subsamplingFactor; }

std::int64_t Nemotron3Config::packedFrames() const { return fifoLen + spkcacheLen + chunkEncFrames(); }

std::string Nemotron3Config::hubSubdirectory() const { return splitGraph ? "split" : "monolithic/v2"; }

float Nemotron3Config::outputFrameSeconds() const { return 0.01f; }

double Nemotron3Config::chunkSeconds() const { return static_cast<double>(chunkLen * subsamplingFactor) * 0.01; }

double Nemotron3Config::latencySeconds() const {
  return static_cast<double>((chunkLen + chunkRightContext) * subsamplingFactor) * 0.01;
}

Nemotron3Config Nemotron3Config::offline() { return staticPresets()[0]; }
Nemotron3Config Nemotron3Config::low() { return staticPresets()[1]; }
Nemotron3Config Nemotron3Config::veryLow() { return staticPresets()[2]; }
Nemotron3Config Nemotron3Config::ultraLow() { return staticPresets()[3]; }
Nemotron3Config Nemotron3Config::fast() { return staticPresets()[4]; }
Nemotron3Config Nemotron3Config::efficient() { return staticPresets()[5]; }
Nemotron3Config Nemotron3Config::fast24() { return staticPresets()[6]; }
Nemotron3Config Nemotron3Config::fast32() { return staticPresets()[7]; }
Nemotron3Config Nemotron3Config::fast128() { return staticPresets()[8]; }

std::optional<Nemotron3Config> Nemotron3Config::preset(std::string_view named) {
  // Peeled in a loop rather than by recursion, so that a name with thousands of suffixes costs
  // no stack. A name still ending in "-int8" matches no table row.
  std::size_t rounds = 0;
  while (named.ends_with(kInt8Suffix)) {
    named.remove_suffix(kInt8Suffix.size());
    ++rounds;
  }
  auto config = exactPreset(named);
  if (config && rounds > 0) config->modelFileName = withInt8Rounds(config->modelFileName, rounds);
  return config;
}

}  // namespace tesselaudio
