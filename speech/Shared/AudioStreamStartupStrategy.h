#pragma once

namespace tesselaudio {

// What the first chunks of an AudioStream look like: `startSilent` begins with the overlap already
// buffered as silence, so the first full chunk comes after one skip; `rampUpChunkSize` hands out a
// chunk after one skip and grows each following chunk by a skip until chunks are full;
// `waitForFullChunk` hands out nothing until a full chunk has arrived.
enum class AudioStreamStartupStrategy { startSilent, rampUpChunkSize, waitForFullChunk };

}  // namespace tesselaudio
