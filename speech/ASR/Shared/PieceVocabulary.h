#pragma once

#include <filesystem>
#include <map>
#include <string>

// The "vocab.json" of the Paraformer and SenseVoice model sets, in either of two shapes:
//
//   ["<blank>", "<s>", "</s>", "你", ...]   the piece at position i is token i
//   {"0": "<blank>", "3": "你", ...}         keys are decimal token ids; other keys are skipped
//
// Any other shape (an array or object with a value that is not a string, a number, text that is no
// JSON) is refused. Safe from any thread.
namespace tesselaudio::PieceVocabulary {

// The token map of the vocabulary file `file`.
// Throws platform::FileError when the file cannot be read; ASRError::processingFailed("Failed to
// parse vocab.json (expected array or dict)") for any other shape.
std::map<int, std::string> load(const std::filesystem::path& file);

}  // namespace tesselaudio::PieceVocabulary
