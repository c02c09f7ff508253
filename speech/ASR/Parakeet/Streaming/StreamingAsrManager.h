#pragma once

#include <functional>
#include <stop_token>
#include <string>

namespace platform {
class PcmBuffer;
}

namespace tesselaudio {

// The one interface through which a caller drives any streaming recogniser: load the models, feed
// audio buffers, decode what is complete, finish with the text, then reset for another stream or
// clean up. Engines are held by std::shared_ptr and are safe from any thread: each guards its state
// with a mutex, holds no lock while the partial-transcript callback runs (the callback may call
// getPartialTranscript()), and lets appendAudio() through while a chunk is being decoded.
//
// Blocking operations take a std::stop_token; a stop request surfaces as platform::CancellationError,
// which callers pass on and never count as a failure. The optional per-token results are separate
// interfaces (StreamingAsrTokenTimestampProvider, StreamingAsrRawTokenProvider,
// StreamingAsrEouProvider), queried with dynamic_cast.
//
//   std::shared_ptr<StreamingAsrManager> engine = ...;
//   engine->loadModels(stop);
//   engine->setPartialTranscriptCallback([](const std::string& text) { show(text); });
//   for (auto& buffer : buffers) { engine->appendAudio(*buffer); engine->processBufferedAudio(stop); }
//   std::string text = engine->finish(stop);
class StreamingAsrManager {
 public:
  // Called with the current partial transcript as decoding advances, from the thread that decodes.
  using PartialTranscriptCallback = std::function<void(const std::string& transcript)>;

  virtual ~StreamingAsrManager();

  // A readable name of the engine, computed from its configuration.
  virtual std::string displayName() const = 0;

  // Fetches the engine's model files into the default models folder when missing and loads them.
  // Throws when fetching or loading fails; the engine then stays without models.
  virtual void loadModels(std::stop_token stopToken) = 0;

  // Converts `buffer` to 16 kHz mono float (a buffer already in that format is copied) and appends
  // the samples to the pending audio; no inference runs here. Throws a conversion failure, and then
  // nothing is appended.
  virtual void appendAudio(const platform::PcmBuffer& buffer) = 0;

  // Decodes every complete chunk (or window) of pending audio and keeps the rest for later.
  virtual void processBufferedAudio(std::stop_token stopToken) = 0;

  // Decodes what is still pending and returns the final transcript.
  virtual std::string finish(std::stop_token stopToken) = 0;

  // Clears the pending audio, the accumulated tokens and the decoding state for a new stream;
  // the loaded models stay.
  virtual void reset(std::stop_token stopToken) = 0;

  // Resets, then releases the models (loadModels() is needed again). Never fails: a failed or
  // stopped reset is dropped and the models are released all the same.
  virtual void cleanup(std::stop_token stopToken) noexcept = 0;

  // Stores the callback (an empty one stops the calls).
  virtual void setPartialTranscriptCallback(PartialTranscriptCallback callback) = 0;

  // The transcript of the tokens accumulated so far; empty while no vocabulary is loaded.
  virtual std::string getPartialTranscript() const = 0;
};

}  // namespace tesselaudio
