#pragma once

namespace tesselaudio {

// Which samples an AudioStream chunk takes: `useFixedSkip` the oldest buffered ones, so that full
// chunks start exactly a skip apart; `useMostRecent` the newest ones, giving up older samples.
enum class AudioStreamChunkingStrategy { useFixedSkip, useMostRecent };

}  // namespace tesselaudio
