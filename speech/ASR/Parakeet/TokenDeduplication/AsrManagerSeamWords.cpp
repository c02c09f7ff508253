// The word helpers and the seam reconciliation of AsrManager: SentencePiece pieces grouped into
// words, compared by their lower-cased core and their frames.

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/CaseMapping.h"
#include "platform/text/CharacterClasses.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"
#include "speech/ASR/Parakeet/AsrManager.h"

namespace tesselaudio {
namespace {

constexpr std::string_view kBoundary = "\u2581";

std::u32string scalarsOf(std::string_view utf8) {
  if (auto scalars = platform::text::unicodeScalars(utf8)) return *scalars;
  return platform::text::unicodeScalars(platform::text::repairedUtf8(utf8)).value_or(std::u32string());
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool isBoundaryPiece(std::string_view piece) { return piece.starts_with(kBoundary) || piece.starts_with(' '); }

bool isJoiner(std::string_view text) { return text == "'" || text == "\u2019" || text == "-"; }

bool allPunctuation(std::string_view utf8) {
  const std::u32string scalars = scalarsOf(utf8);
  return std::all_of(scalars.begin(), scalars.end(), platform::text::isPunctuation);
}

// Empty pieces (unknown ids) and pieces with anything but punctuation belong to a word.
bool isWordMaterial(std::string_view piece) {
  const std::string trimmed = platform::text::trimBlanks(piece);
  return trimmed.empty() || !allPunctuation(trimmed);
}

std::string replacingAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    if (text.substr(at).starts_with(from)) {
      out += to;
      at += from.size();
    } else {
      out += text[at++];
    }
  }
  return out;
}

// A joiner piece followed by a piece of word material that is no boundary: the two go together.
bool joinsNext(const std::vector<std::string>& pieces, size_t index) {
  return isJoiner(pieces[index]) && index + 1 < pieces.size() && !isBoundaryPiece(pieces[index + 1]) &&
         isWordMaterial(pieces[index + 1]);
}

bool withinFrames(int64_t a, int64_t b, int64_t tolerance) { return std::llabs(a - b) <= tolerance; }

// Punctuation that clings to the word before it, heard no later than `cutFrame`.
bool isTrailingPunctuationBefore(const std::vector<std::string>& pieces, const std::vector<int64_t>& frames,
                                 size_t index, int64_t cutFrame) {
  return AsrManager::isPunctuationPiece(pieces[index]) &&
         !AsrManager::startsWordPiece(pieces, static_cast<int64_t>(index)) && frames[index] <= cutFrame;
}

// The end of the word material from `from` on: it stops at a boundary piece and at punctuation
// other than a joiner inside a word.
size_t wordMaterialEnd(const std::vector<std::string>& pieces, size_t from) {
  size_t i = from;
  while (i < pieces.size()) {
    if (isBoundaryPiece(pieces[i])) break;
    if (isWordMaterial(pieces[i])) {
      i += 1;
    } else if (joinsNext(pieces, i)) {
      i += 2;
    } else {
      break;
    }
  }
  return i;
}

}  // namespace

std::optional<int64_t> AsrManager::trailingWordStartIndex(const std::vector<std::string>& pieces) {
  for (size_t i = pieces.size(); i-- > 0;) {
    if (isBoundaryPiece(pieces[i])) return i == 0 ? std::nullopt : std::optional<int64_t>(static_cast<int64_t>(i));
  }
  return std::nullopt;
}

bool AsrManager::isPunctuationPiece(std::string_view piece) {
  if (piece.starts_with(kBoundary)) piece.remove_prefix(kBoundary.size());
  const std::string trimmed = platform::text::trimBlanks(piece);
  return !trimmed.empty() && allPunctuation(trimmed);
}

bool AsrManager::startsWordPiece(const std::vector<std::string>& pieces, int64_t index) {
  const auto i = static_cast<size_t>(index);
  const std::string& piece = pieces[i];
  if (!isBoundaryPiece(piece)) return false;
  if (!isPunctuationPiece(piece)) return true;
  return isJoiner(platform::text::trimBlanks(replacingAll(piece, kBoundary, ""))) && i + 1 < pieces.size() &&
         !isBoundaryPiece(pieces[i + 1]) && !isPunctuationPiece(pieces[i + 1]);
}

int64_t AsrManager::wordExtent(const std::vector<std::string>& pieces, int64_t start) {
  return static_cast<int64_t>(wordMaterialEnd(pieces, static_cast<size_t>(start) + 1));
}

std::string AsrManager::wordCore(std::span<const std::string> pieces) {
  std::string joined;
  for (const std::string& piece : pieces) joined += piece;
  joined = replacingAll(replacingAll(joined, kBoundary, " "), "\u2019", "'");
  const std::u32string scalars = scalarsOf(platform::text::lowercased(joined));
  const auto isEdge = [](char32_t c) { return platform::text::isBlank(c) || platform::text::isPunctuation(c); };
  const auto first = std::find_if_not(scalars.begin(), scalars.end(), isEdge);
  const auto last = std::find_if_not(scalars.rbegin(), std::make_reverse_iterator(first), isEdge).base();
  std::string core;
  for (auto it = first; it < last; ++it) appendUtf8(core, *it);
  return core;
}

std::vector<AsrManager::PieceWord> AsrManager::words(const std::vector<std::string>& pieces,
                                                     const std::vector<int64_t>& timestamps, int64_t limit) {
  const int64_t n = std::min({static_cast<int64_t>(pieces.size()), static_cast<int64_t>(timestamps.size()), limit});
  std::vector<PieceWord> out;
  for (int64_t i = 0; i < n;) {
    if (!startsWordPiece(pieces, i)) {
      ++i;
      continue;
    }
    const int64_t end = std::min(n, wordExtent(pieces, i));
    out.push_back({wordCore(std::span(pieces).subspan(static_cast<size_t>(i), static_cast<size_t>(end - i))),
                   timestamps[static_cast<size_t>(i)]});
    i = end;
  }
  return out;
}

std::vector<std::string> AsrManager::firstWordPieces(std::span<const std::string> pieces) {
  const std::vector<std::string> list(pieces.begin(), pieces.end());
  for (int64_t i = 0; i < static_cast<int64_t>(list.size()); ++i) {
    if (startsWordPiece(list, i)) return {list.begin() + i, list.begin() + wordExtent(list, i)};
  }
  return {};
}

AsrManager::SeamReconciliation AsrManager::reconcileFinalWindowSeam(
    const std::vector<int64_t>& previousTokens, const std::vector<int64_t>& previousTimestamps,
    int64_t trailingWordStart, const std::vector<int64_t>& currentTokens, const std::vector<int64_t>& currentTimestamps,
    const std::vector<std::string>& currentPieces, const std::vector<std::string>& previousPieces,
    const std::vector<std::string>& suppressedPieces, const std::vector<int64_t>& suppressedTimestamps,
    int64_t jitterFrames, int64_t frameTolerance) {
  const size_t previousCount = previousTokens.size();
  const size_t currentCount = currentTokens.size();
  const auto w = static_cast<size_t>(trailingWordStart);
  if (trailingWordStart < 1 || w >= previousCount || previousTimestamps.size() != previousCount ||
      currentTimestamps.size() != currentCount || currentPieces.size() != currentCount || currentCount < 1 ||
      previousPieces.size() != previousCount) {
    return {};
  }
  const int64_t cutFrame = previousTimestamps[w];
  const int64_t lastPreviousFrame = previousTimestamps.back();
  const int64_t lastCurrentFrame = *std::max_element(currentTimestamps.begin(), currentTimestamps.end());
  const auto startsWord = [&](size_t i) { return startsWordPiece(currentPieces, static_cast<int64_t>(i)); };
  const auto currentWordCore = [&](size_t from, size_t to) {
    return wordCore(std::span(currentPieces).subspan(from, to - from));
  };

  // The leftover of a word whose start the current window did not emit.
  const size_t continuation = wordMaterialEnd(currentPieces, 0);
  size_t v = continuation;

  // Words the previous side had already accepted before its trailing word, decoded again.
  const std::vector<PieceWord> previousWords = words(previousPieces, previousTimestamps, trailingWordStart);
  while (v < currentCount) {
    if (isTrailingPunctuationBefore(currentPieces, currentTimestamps, v, cutFrame)) {
      ++v;
      continue;
    }
    if (!startsWord(v)) break;
    const auto end = static_cast<size_t>(wordExtent(currentPieces, static_cast<int64_t>(v)));
    const std::string core = currentWordCore(v, end);
    const int64_t frame = currentTimestamps[v];
    const bool repeatsAccepted =
        frame <= cutFrame + jitterFrames && !core.empty() &&
        std::any_of(previousWords.begin(), previousWords.end(), [&](const PieceWord& word) {
          return word.core == core && withinFrames(word.frame, frame, frameTolerance);
        });
    if (!repeatsAccepted) break;
    v = end;
  }

  const std::string previousCore = wordCore(std::span(previousPieces).subspan(w));
  const std::string currentCore = wordCore(firstWordPieces(std::span(currentPieces).subspan(v)));

  std::optional<size_t> j;
  for (size_t i = v; i < currentCount && !j; ++i) {
    if (startsWord(i)) j = i;
  }
  const bool reachesBeyond = lastCurrentFrame > lastPreviousFrame + jitterFrames;
  const bool earlyWord = reachesBeyond && j && currentTimestamps[*j] <= lastPreviousFrame + jitterFrames;
  const bool withdraw = !previousCore.empty() && !currentCore.empty() && previousCore != currentCore && earlyWord &&
                        (currentCore.starts_with(previousCore) || continuation == 0 || currentTimestamps[0] < cutFrame);
  const size_t keptCount = withdraw ? w : previousCount;
  const int64_t lastKeptFrame = previousTimestamps[keptCount - 1];

  bool heardBeforeSeam = false;
  if (suppressedPieces.size() == suppressedTimestamps.size()) {
    const auto suppressedWords = words(suppressedPieces, suppressedTimestamps, static_cast<int64_t>(suppressedPieces.size()));
    heardBeforeSeam = std::any_of(suppressedWords.begin(), suppressedWords.end(), [&](const PieceWord& word) {
      return word.core == previousCore && withinFrames(word.frame, cutFrame, frameTolerance);
    });
  }

  // The trailing word itself decoded again at the same place.
  if (!withdraw && !heardBeforeSeam && previousCore == currentCore && j &&
      withinFrames(currentTimestamps[*j], cutFrame, frameTolerance)) {
    v = static_cast<size_t>(wordExtent(currentPieces, static_cast<int64_t>(*j)));
    if (isPunctuationPiece(previousPieces.back())) {
      while (v < currentCount && isPunctuationPiece(currentPieces[v]) && !startsWord(v)) ++v;
    }
  }

  // Tokens that repeat the kept tail, a word or a single piece at a time.
  const auto matchesKept = [&](size_t index) {
    for (size_t k = 0; k < keptCount; ++k) {
      if (previousTokens[k] == currentTokens[index] &&
          withinFrames(previousTimestamps[k], currentTimestamps[index], frameTolerance)) {
        return true;
      }
    }
    return false;
  };
  while (v < currentCount) {
    if (isTrailingPunctuationBefore(currentPieces, currentTimestamps, v, cutFrame)) {
      ++v;
      continue;
    }
    if (currentTimestamps[v] > lastKeptFrame + jitterFrames) break;
    const size_t unitEnd = startsWord(v) ? static_cast<size_t>(wordExtent(currentPieces, static_cast<int64_t>(v))) : v + 1;
    bool allKept = true;
    for (size_t u = v; u < unitEnd && allKept; ++u) allKept = matchesKept(u);
    if (!allKept) break;
    v = unitEnd;
  }

  return {withdraw ? static_cast<int64_t>(previousCount - w) : 0, static_cast<int64_t>(v)};
}

}  // namespace tesselaudio
