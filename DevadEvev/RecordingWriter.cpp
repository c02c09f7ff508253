#include "DevadEvev/RecordingWriter.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>

#include "platform/audio/AacFileWriter.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/Converter.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/SerialQueue.h"

namespace devadevev {

using platform::AudioFormat;
using platform::Converter;
using platform::PcmBuffer;

struct RecordingWriter::State {
  explicit State(const std::filesystem::path& url)
      : file(std::make_unique<platform::AacFileWriter>(
            url, platform::AacFileWriter::Settings{kSampleRate, 1, kBitRate, true})) {}

  void write(const PcmBuffer& copy);
  const PcmBuffer* convert(const PcmBuffer& copy, std::unique_ptr<PcmBuffer>& output);
  void close();

  const AudioFormat format = AudioFormat::float32(kSampleRate, 1);
  std::unique_ptr<platform::AacFileWriter> file;  // absent once finished
  std::unique_ptr<Converter> converter;            // present while the input rate is not 48 kHz
  std::optional<AudioFormat> sourceFormat;         // of the last buffer handled
  std::atomic<std::int64_t> framesWritten{0};
};

void RecordingWriter::State::write(const PcmBuffer& copy) {
  if (!file) return;
  if (!sourceFormat || !(copy.format() == *sourceFormat)) {
    sourceFormat = copy.format();
    if (copy.format().sampleRate() != kSampleRate) {
      converter = Converter::make(copy.format(), format);
    } else {
      converter.reset();
    }
  }
  std::unique_ptr<PcmBuffer> converted;
  const PcmBuffer* out = converter ? convert(copy, converted) : &copy;
  if (!out) return;
  try {
    file->write(*out);
    framesWritten += out->frameLength();
  } catch (const platform::Error&) {
    // A failed write costs that stretch of audio; the recording goes on.
  }
}

// Runs the converter once over `copy`. It is never told that the input ended, so it keeps its
// state for the next buffer; what it still holds at the end of the recording is not written.
const PcmBuffer* RecordingWriter::State::convert(const PcmBuffer& copy,
                                                 std::unique_ptr<PcmBuffer>& output) {
  const double expected = kSampleRate * copy.frameLength() / copy.format().sampleRate();
  output = PcmBuffer::make(format, static_cast<std::uint32_t>(std::ceil(expected)) + 32);
  if (!output) return nullptr;
  bool given = false;
  const auto status = converter->convert(
      *output, [&](std::uint32_t, Converter::InputStatus& inputStatus) -> const PcmBuffer* {
        if (given) {
          inputStatus = Converter::InputStatus::noDataNow;
          return nullptr;
        }
        given = true;
        inputStatus = Converter::InputStatus::haveData;
        return &copy;
      });
  if (status == Converter::OutputStatus::error) return nullptr;
  return output.get();
}

void RecordingWriter::State::close() {
  if (!file) return;
  try {
    file->close();
  } catch (const platform::Error&) {
    // The file is closed either way; its length is what was written. Should the rewrite in the
    // ordinary form have failed, the crash-safe file is still whole and is mended at start-up.
  }
  file.reset();
}

RecordingWriter::RecordingWriter(const std::filesystem::path& url)
    : url_(url),
      state_(std::make_shared<State>(url)),
      queue_(std::make_unique<platform::SerialQueue>("velto-voice-app.writer")) {}

RecordingWriter::~RecordingWriter() {
  // Work still queued finds the state gone and drops its buffer.
  state_.reset();
  queue_.reset();
}

void RecordingWriter::append(const PcmBuffer& buffer) {
  const float* const* planes = buffer.floatChannelData();
  const std::uint32_t frames = buffer.frameLength();
  if (!planes || frames == 0) return;
  std::shared_ptr<PcmBuffer> copy =
      PcmBuffer::make(AudioFormat::float32(buffer.format().sampleRate(), 1), frames);
  if (!copy) return;
  std::memcpy(copy->floatChannelData()[0], planes[0], sizeof(float) * frames);
  copy->setFrameLength(frames);
  queue_->async([weak = std::weak_ptr<State>(state_), copy = std::move(copy)] {
    if (auto state = weak.lock()) state->write(*copy);
  });
}

double RecordingWriter::finish() {
  queue_->sync([this] { state_->close(); });
  return static_cast<double>(state_->framesWritten.load()) / kSampleRate;
}

std::int64_t RecordingWriter::framesWritten() const { return state_->framesWritten.load(); }

}  // namespace devadevev
