#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

// Fixed numbers and tables of the Parakeet-type recognisers: 16 kHz audio, 10 ms mel hop,
// 8-fold encoder subsampling, a SentencePiece vocabulary. Safe from any thread.
namespace tesselaudio::ASRConstants {

inline constexpr int sampleRate = 16000;
inline constexpr int maxModelSamples = 240000;  // one model call: 15 s at 16 kHz
inline constexpr double maxDurationSeconds = 15.0;
inline constexpr double minimumAudioDurationSeconds = 0.3;
inline constexpr int melHopSize = 160;
inline constexpr int encoderSubsampling = 8;
inline constexpr int samplesPerEncoderFrame = 1280;
inline constexpr double secondsPerEncoderFrame = 0.08;
inline constexpr int encoderHiddenSize = 1024;
inline constexpr int decoderHiddenSize = 640;
inline constexpr int standardOverlapFrames = 25;
inline constexpr int duplicateFrameTolerance = 25;
inline constexpr double highWERThreshold = 0.15;
inline constexpr float minConfidence = 0.1f;
inline constexpr float maxConfidence = 1.0f;
// U+2581, the mark that begins a token which starts a word.
inline constexpr std::string_view sentencePieceWordBoundary = "\u2581";
inline constexpr std::string_view sentencePieceUnknownToken = "<unk>";
inline constexpr std::array<int, 3> punctuationTokens = {7883, 7956, 8020};

// ".", "?", "!" and the full-width "。", "？", "！".
const std::set<std::string>& sentenceFinalPunctuation();

// The encoder frames covering `samples`, rounded up: ceil(samples / 1280).
int calculateEncoderFrames(std::int64_t samples);

// sampleRate x 0.3, truncated toward zero (4800 at 16 kHz).
int minimumRequiredSamples(int forSampleRate);

// The ids whose token text, after dropping one leading word-boundary mark or else one leading
// blank, is exactly one of sentenceFinalPunctuation(). Never fails.
std::set<int> punctuationTokenIds(const std::map<int, std::string>& vocabulary);

}  // namespace tesselaudio::ASRConstants
