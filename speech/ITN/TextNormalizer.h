#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tesselaudio {

struct ASRResult;

// The entry point for inverse text normalisation (spoken forms to written ones). This build links
// no normalisation engine: every call hands its input back unchanged and rule edits are refused
// with a warning. Safe from any thread.
class TextNormalizer {
 public:
  // The one instance of the process, made on first use.
  static TextNormalizer& shared();

  bool isNativeAvailable() const { return false; }
  bool isTnAvailable() const { return false; }

  std::string normalize(const std::string& text) const { return text; }
  std::string normalizeSentence(const std::string& text) const { return text; }
  // The span limit is not used.
  std::string normalizeSentence(const std::string& text,
                                [[maybe_unused]] std::uint32_t maxSpanTokens) const {
    return text;
  }
  std::string tnNormalize(const std::string& text) const { return text; }
  std::string tnNormalizeSentence(const std::string& text) const { return text; }
  // `result` unchanged.
  ASRResult normalize(const ASRResult& result) const;

  // Logs the warning "addRule ignored: NemoTextProcessing engine not linked" (category "ITN").
  void addRule(const std::string& spoken, const std::string& written);
  bool removeRule([[maybe_unused]] const std::string& spoken) { return false; }
  void clearRules() {}
  int ruleCount() const { return 0; }
  std::optional<std::string> version() const { return std::nullopt; }

 private:
  TextNormalizer() = default;
};

}  // namespace tesselaudio
