#pragma once

#include <cstdint>

namespace tesselaudio {

// The writing systems a decoder can be asked to keep to.
enum class Script : std::uint8_t { latin, cyrillic, greek };

}  // namespace tesselaudio
