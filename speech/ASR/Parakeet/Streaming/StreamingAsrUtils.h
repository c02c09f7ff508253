#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

namespace platform {
class PcmBuffer;
}

namespace tesselaudio {

class AudioConverter;
class Tokenizer;

// Helpers for the sample buffer and the token list that a streaming recogniser keeps. Plain
// functions of the calling thread; the caller guards the buffers it hands in.
namespace StreamingAsrUtils {

// Called with one chunk of samples; may throw.
using ChunkProcessor = std::function<void(const std::vector<float>& chunk)>;

// Appends `buffer` as 16 kHz mono float samples to `audioBuffer`: channel 0 copied when the buffer
// is already in the converter's target format, else converted through output slices of 1,048,576
// frames. Throws the converter's error, and then `audioBuffer` is left as it was.
void appendAudio(const platform::PcmBuffer& buffer, const AudioConverter& using_,
                 std::vector<float>& to);

// Empties the audio buffer and the token list and sets the chunk counter to 0.
void resetSharedState(std::vector<float>& audioBuffer, std::vector<std::int64_t>& accumulatedTokenIds,
                      std::int64_t& processedChunks);

// Processes the audio left after every complete chunk: returns false without calling
// `processChunk` when `audioBuffer` is empty. Otherwise zeros are appended to `audioBuffer` up to a
// whole number of chunks, `processChunk` is called once per chunk of `chunkSamples` samples in
// order, and each chunk leaves the buffer once processed; returns true with the buffer empty.
// Usually less than one chunk is left, so this is one call with the samples padded by zeros; more
// is processed chunk by chunk rather than dropped. When `processChunk` throws, or a stop is
// requested before a chunk (platform::CancellationError), the error is thrown and the buffer keeps
// the chunks not yet processed, zeros included.
// REQUIRES: chunkSamples > 0.
bool processRemainingAudio(std::vector<float>& audioBuffer, std::int64_t chunkSamples,
                           const ChunkProcessor& processChunk, std::stop_token stopToken);

// The tokenizer's text of `tokens` (Tokenizer::decode).
std::string decodeTokens(const std::vector<std::int64_t>& tokens, const Tokenizer& using_);

}  // namespace StreamingAsrUtils
}  // namespace tesselaudio
