#include "speech/Diarizer/LS-EEND/LSEENDFeatureProvider.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Shared/AudioConverterError.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {

namespace {

const LSEENDMetadata& checked(const LSEENDMetadata& metadata) {
  metadata.checkLimits();
  return metadata;
}

std::vector<float> maskTemplate(const LSEENDMetadata& m) {
  std::vector<float> mask(static_cast<size_t>(m.chunkSize + m.convDelay), 1.0f);
  std::fill_n(mask.begin(), m.convDelay, 0.0f);
  return mask;
}

StreamingChunkQueue audioQueueFor(const LSEENDMetadata& m) {
  const std::int64_t halfFFT = m.nFFT() / 2;
  return StreamingChunkQueue(m.subsampling * m.chunkSize * m.hopLength, halfFFT, halfFFT - m.hopLength, 1);
}

StreamingChunkQueue melQueueFor(const LSEENDMetadata& m) {
  return StreamingChunkQueue(m.subsampling * m.chunkSize, m.contextSize, m.contextSize + 1 - m.subsampling, m.nMels);
}

std::unique_ptr<AudioMelSpectrogram> melSpectrogramFor(const LSEENDMetadata& m) {
  return std::make_unique<AudioMelSpectrogram>(
      static_cast<int>(m.sampleRate), static_cast<int>(m.nMels), static_cast<int>(m.nFFT()),
      static_cast<int>(m.hopLength), static_cast<int>(m.winLength), 0.0f, 1, 1e-10f,
      AudioMelSpectrogram::LogFloorMode::clamped, true);
}

void checkRate(double rate) {
  if (!(rate > 0) || !std::isfinite(rate)) throw AudioConverterError::failedToCreateSourceFormat();
}

}  // namespace

LSEENDFeatureProvider::LSEENDFeatureProvider(const LSEENDMetadata& from, std::optional<Snapshot> restoringFrom)
    : nMels_(checked(from).nMels),
      chunkFrames_(from.chunkSize),
      flushSampleCount_(from.hopLength * (from.contextSize + from.convDelay * from.subsampling) + from.nFFT() / 2),
      decoderMask_(maskTemplate(from)),
      converter_(static_cast<double>(from.sampleRate), false),
      melSpectrogram_(melSpectrogramFor(from)),
      melQueue_(restoringFrom ? restoringFrom->melQueue : melQueueFor(from)),
      audioQueue_(restoringFrom ? restoringFrom->audioQueue : audioQueueFor(from)),
      cmnMean_(restoringFrom ? restoringFrom->cmnMean : std::vector<float>(static_cast<size_t>(from.nMels), 0.0f)),
      cmnCount_(restoringFrom ? restoringFrom->cmnCount : 0),
      decoderMaskEnd_(restoringFrom ? restoringFrom->decoderMaskEnd : 0) {
  input_ = std::make_unique<LSEENDInput>(
      from, restoringFrom ? std::optional<LSEENDState>(std::move(restoringFrom->state)) : std::nullopt);
}

LSEENDFeatureProvider::~LSEENDFeatureProvider() = default;

std::int64_t LSEENDFeatureProvider::readyChunks() const {
  std::scoped_lock guard(lock_);
  return melQueue_.readyChunks();
}

void LSEENDFeatureProvider::enqueueAudio(std::span<const float> samples, std::optional<double> withSampleRate,
                                         bool eagerPreprocessing) {
  // Conversion touches no provider state, so it runs before the lock and a failure changes nothing.
  std::vector<float> converted;
  if (withSampleRate) {
    checkRate(*withSampleRate);
    converted = converter_.resample(std::vector<float>(samples.begin(), samples.end()), *withSampleRate);
    samples = converted;
  }
  std::scoped_lock guard(lock_);
  audioQueue_.append(samples);
  if (eagerPreprocessing) processAudioQueue();
}

std::int64_t LSEENDFeatureProvider::enqueueAudioFile(const std::filesystem::path& at) {
  const std::vector<float> samples = converter_.resampleAudioFile(at);
  std::scoped_lock guard(lock_);
  audioQueue_.append(samples);
  processAudioQueue();
  return static_cast<std::int64_t>(samples.size());
}

void LSEENDFeatureProvider::drainRightContextWithSilence(bool flush) {
  std::scoped_lock guard(lock_);
  audioQueue_.appendZeros(flushSampleCount_);
  const std::int64_t chunk = audioQueue_.chunkFloats();
  const std::int64_t remainder = std::max<std::int64_t>(audioQueue_.unreadFloats() - audioQueue_.contextFloats(), 0) % chunk;
  audioQueue_.appendZeros((chunk - remainder) % chunk);
  if (flush) processAudioQueue();
}

LSEENDInput* LSEENDFeatureProvider::emitNextChunk() {
  std::scoped_lock guard(lock_);
  processAudioQueue();
  const auto chunk = melQueue_.popNextChunk();
  if (!chunk) return nullptr;

  const auto templateCount = static_cast<std::int64_t>(decoderMask_.size());
  const std::int64_t end = std::min(templateCount, decoderMaskEnd_ + chunkFrames_);
  decoderMaskEnd_ = end;
  const std::int64_t warmup = std::min(chunkFrames_, templateCount - end);
  const auto mask = std::span<const float>(decoderMask_).subspan(static_cast<size_t>(end - chunkFrames_),
                                                                 static_cast<size_t>(chunkFrames_));
  input_->loadInputs(*chunk, mask, warmup);
  return input_.get();
}

LSEENDFeatureProvider::Snapshot LSEENDFeatureProvider::takeSnapshot() const {
  std::scoped_lock guard(lock_);
  return Snapshot{input_->state().copy(), melQueue_, audioQueue_, cmnMean_, cmnCount_, decoderMaskEnd_};
}

void LSEENDFeatureProvider::rollback(Snapshot to, bool keepingState) {
  std::scoped_lock guard(lock_);
  if (!keepingState) input_->setState(std::move(to.state));
  melQueue_ = std::move(to.melQueue);
  audioQueue_ = std::move(to.audioQueue);
  cmnMean_ = std::move(to.cmnMean);
  cmnCount_ = to.cmnCount;
  decoderMaskEnd_ = to.decoderMaskEnd;
}

void LSEENDFeatureProvider::reset() {
  std::scoped_lock guard(lock_);
  std::fill(cmnMean_.begin(), cmnMean_.end(), 0.0f);
  cmnCount_ = 0;
  decoderMaskEnd_ = 0;
  melQueue_.reset();
  audioQueue_.reset();
  input_->resetState();
}

// Every whole audio chunk in the queue becomes normalised feature frames. Runs under lock_.
void LSEENDFeatureProvider::processAudioQueue() {
  const auto slice = audioQueue_.popAllChunks();
  if (!slice) return;
  auto features = melSpectrogram_->computeFlatTransposed(*slice, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded);
  std::span<float> frames(features.mel.data(), static_cast<size_t>(features.melLength) * static_cast<size_t>(nMels_));
  normalise(frames);
  melQueue_.append(frames);
}

// log10, then each frame minus the running mean of every frame so far, itself included.
void LSEENDFeatureProvider::normalise(std::span<float> frames) {
  const auto bands = static_cast<size_t>(nMels_);
  float* mean = cmnMean_.data();
  for (size_t offset = 0; offset < frames.size(); offset += bands) {
    float* frame = frames.data() + offset;
    ++cmnCount_;
    const float a = 1.0f / static_cast<float>(cmnCount_);
    for (size_t b = 0; b < bands; ++b) {
      const float value = frame[b] * log10Scale_;
      mean[b] += a * (value - mean[b]);
      frame[b] = value - mean[b];
    }
  }
}

}  // namespace tesselaudio
