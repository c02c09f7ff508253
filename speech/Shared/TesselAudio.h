#pragma once

namespace tesselaudio {

// The library's name as a type; it has no fields and no operations.
struct TesselAudio {};

}  // namespace tesselaudio
