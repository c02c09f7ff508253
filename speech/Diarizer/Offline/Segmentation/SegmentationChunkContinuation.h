#pragma once

namespace tesselaudio {

// A segmentation chunk handler's answer: keep delivering windows, or deliver no more (the
// segmentation itself still runs to the end).
enum class SegmentationChunkContinuation { proceed, stop };

}  // namespace tesselaudio
