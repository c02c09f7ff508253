#pragma once

// The crash-safe form of an AAC recording in an MPEG-4 file, as AacFileWriter writes it with
// Settings::crashSafe, and the rewrite that turns it into the ordinary form.
//
// Crash-safe form (fragmented MPEG-4):
//   ftyp        major brand "vvrc", which marks the form
//   moov        the track with empty sample tables and 'mvex'; the metadata item "comment"
//               reads "priming <frames>", the encoder's priming at the start of the audio
//   moof, mdat  one pair per second or so of audio, each flushed to disk once written
// A process that dies while writing leaves every whole fragment readable, so at most the last
// second or two are lost. Timestamps start at 0 with the priming (there is no edit list): a
// plain decoder plays the priming first.
//
// Ordinary form: ftyp "M4A ", then moov with the complete index and an edit list that trims the
// priming and the last frame's padding, then mdat; no fragments.

#include <filesystem>
#include <string>

namespace platform::FragmentedAac {

// The major brand that marks the crash-safe form.
inline constexpr char kBrand[] = "vvrc";

// Whether the file at `path` begins with the 'ftyp' box of the crash-safe form. False for any
// other file and for one that cannot be read. Reads 12 bytes.
bool isCrashSafeForm(const std::filesystem::path& path);

// Rewrites the crash-safe file at `path` in the ordinary form, in place and atomically: the file
// is replaced only by a complete new one. Every whole fragment's audio is kept; a fragment cut
// short is dropped. Returns the seconds of audio the new file holds (priming and padding not
// counted).
// Throws AudioError::cannotOpen when the file cannot be read as MPEG-4 audio (for example a 'moov'
// cut short), AudioError::writeFailed when the new file cannot be written; `path` is untouched
// then.
double rewriteInOrdinaryForm(const std::filesystem::path& path);

namespace detail {
// The "comment" item's text for `primingFrames`.
std::string primingComment(int primingFrames);
}  // namespace detail

}  // namespace platform::FragmentedAac
