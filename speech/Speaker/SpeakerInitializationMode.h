#pragma once

namespace tesselaudio {

// How a list of known speakers is loaded into a speaker database (see SpeakerManager::
// initializeKnownSpeakers): empty it first, fold into stored speakers of the same id, replace
// them, or leave them.
enum class SpeakerInitializationMode { reset, merge, overwrite, skip };

}  // namespace tesselaudio
