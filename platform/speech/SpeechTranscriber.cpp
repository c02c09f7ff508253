#include "platform/speech/SpeechTranscriber.h"

#include <cassert>

#include "platform/speech/SpeechBackend.h"

namespace platform {

std::optional<std::string> SpeechTranscriber::supportedLocale(const std::string& equivalentTo) {
  auto backend = SpeechBackend::installed();
  if (!backend) return std::nullopt;
  return backend->supportedLocale(equivalentTo);
}

SpeechTranscriber::SpeechTranscriber(std::string locale, Options options)
    : SpeechTranscriber(std::move(locale), options, Channel<Result>::make()) {}

SpeechTranscriber::SpeechTranscriber(std::string locale, Options options,
                                     std::pair<Channel<Result>::Sender, Channel<Result>::Receiver> channel)
    : locale_(std::move(locale)),
      options_(options),
      backend_(SpeechBackend::installed()),
      sender_(std::move(channel.first)),
      receiver_(std::move(channel.second)) {}

SpeechTranscriber::~SpeechTranscriber() = default;

Channel<SpeechTranscriber::Result>::Receiver SpeechTranscriber::results() {
  assert(receiver_);
  auto receiver = std::move(*receiver_);
  receiver_.reset();
  return receiver;
}

}  // namespace platform
