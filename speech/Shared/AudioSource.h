#pragma once

namespace tesselaudio {

// Where live audio comes from; the sliding-window recogniser keeps one stream and one engine per
// source. Hashes by the case (std::hash of the enumeration).
enum class AudioSource { microphone, system };

}  // namespace tesselaudio
