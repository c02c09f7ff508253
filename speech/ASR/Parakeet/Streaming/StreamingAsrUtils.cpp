#include "speech/ASR/Parakeet/Streaming/StreamingAsrUtils.h"

#include <cassert>
#include <string>

#include "platform/audio/PcmBuffer.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"
#include "speech/Shared/AudioConverter.h"

namespace tesselaudio::StreamingAsrUtils {

void appendAudio(const platform::PcmBuffer& buffer, const AudioConverter& using_, std::vector<float>& to) {
  // Converted first, so that a failure leaves the buffer as it was.
  const std::vector<float> samples = using_.resampleBuffer(buffer);
  to.insert(to.end(), samples.begin(), samples.end());
}

void resetSharedState(std::vector<float>& audioBuffer, std::vector<std::int64_t>& accumulatedTokenIds,
                      std::int64_t& processedChunks) {
  audioBuffer.clear();
  accumulatedTokenIds.clear();
  processedChunks = 0;
}

bool processRemainingAudio(std::vector<float>& audioBuffer, std::int64_t chunkSamples,
                           const ChunkProcessor& processChunk, std::stop_token stopToken) {
  assert(chunkSamples > 0);
  if (audioBuffer.empty()) return false;
  const auto chunk = static_cast<std::size_t>(chunkSamples);
  const std::size_t partial = audioBuffer.size() % chunk;
  if (partial != 0) audioBuffer.resize(audioBuffer.size() + (chunk - partial), 0.0f);

  std::size_t processed = 0;
  try {
    for (; processed < audioBuffer.size(); processed += chunk) {
      platform::CancellationError::throwIfRequested(stopToken);
      const auto begin = audioBuffer.begin() + static_cast<std::ptrdiff_t>(processed);
      processChunk(std::vector<float>(begin, begin + static_cast<std::ptrdiff_t>(chunk)));
    }
  } catch (...) {
    audioBuffer.erase(audioBuffer.begin(), audioBuffer.begin() + static_cast<std::ptrdiff_t>(processed));
    throw;
  }
  audioBuffer.clear();
  return true;
}

std::string decodeTokens(const std::vector<std::int64_t>& tokens, const Tokenizer& using_) {
  return using_.decode(tokens);
}

}  // namespace tesselaudio::StreamingAsrUtils
