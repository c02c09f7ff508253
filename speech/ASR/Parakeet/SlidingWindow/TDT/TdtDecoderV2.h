#pragma once

#include "speech/ASR/Parakeet/ASRConfig.h"

// Decoding with models whose blank token is 1024 (Parakeet v2 and the 110M hybrid). Safe from
// any thread.
namespace tesselaudio::TdtDecoderV2 {

// `config` unchanged when its blank id is already 1024; else a copy made through the checking
// constructor with the blank id 1024 and every other field kept.
ASRConfig adaptConfigForV2(const ASRConfig& config);

}  // namespace tesselaudio::TdtDecoderV2
