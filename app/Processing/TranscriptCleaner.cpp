#include "app/Processing/TranscriptCleaner.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <set>
#include <unordered_map>

#include "platform/text/Graphemes.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"

namespace veltovoice::TranscriptCleaner {
namespace {

const std::set<std::string, std::less<>> kSeparators = {
    "、", ",", "，", "・", "/", "／", "\n", "：", ":", "（", "）", "(", ")", "「", "」", " ", "\u3000"};
const std::set<std::string, std::less<>> kNotTerms = {"参加者", "用語", "さん"};

// The characters of both texts as numbers, equal for equal characters: a one-scalar character is
// its scalar, any longer one gets a number above the scalar range.
struct Coded {
  std::vector<std::uint32_t> a;
  std::vector<std::uint32_t> b;
};

Coded coded(std::string_view a, std::string_view b) {
  constexpr std::uint32_t kFirstCluster = 0x110000;
  std::unordered_map<std::string, std::uint32_t> clusters;
  auto code = [&](std::string_view text) {
    std::vector<std::uint32_t> codes;
    for (const std::string& character : platform::text::graphemes(text)) {
      const auto scalars = platform::text::unicodeScalars(character);
      if (scalars && scalars->size() == 1) {
        codes.push_back((*scalars)[0]);
      } else {
        codes.push_back(clusters.try_emplace(character, kFirstCluster + clusters.size()).first->second);
      }
    }
    return codes;
  };
  Coded result;
  result.a = code(a);
  result.b = code(b);
  return result;
}

int levenshtein(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  // The shorter text spans the rows, so memory is two rows of it.
  const auto& across = a.size() < b.size() ? a : b;
  const auto& down = a.size() < b.size() ? b : a;
  std::vector<int> previous(across.size() + 1);
  std::vector<int> current(across.size() + 1);
  std::iota(previous.begin(), previous.end(), 0);
  for (std::size_t i = 0; i < down.size(); ++i) {
    current[0] = static_cast<int>(i + 1);
    const std::uint32_t character = down[i];
    for (std::size_t j = 0; j < across.size(); ++j) {
      const int substitution = previous[j] + (across[j] == character ? 0 : 1);
      current[j + 1] = std::min({previous[j + 1] + 1, current[j] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[across.size()];
}

}  // namespace

std::vector<std::string> memoTerms(std::string_view memo) {
  std::vector<std::string> terms;
  std::string part;
  auto close = [&] {
    std::string term = platform::text::trimBlanks(part);
    if (platform::text::graphemeCount(term) >= 2 && !kNotTerms.count(term)) terms.push_back(std::move(term));
    part.clear();
  };
  for (const std::string& character : platform::text::graphemes(memo)) {
    if (kSeparators.count(character)) {
      close();
    } else {
      part += character;
    }
  }
  close();
  return terms;
}

int distance(std::string_view a, std::string_view b) {
  const Coded texts = coded(a, b);
  return levenshtein(texts.a, texts.b);
}

Verdict judge(std::string_view original, std::string_view corrected, const std::vector<std::string>& terms) {
  if (original == corrected) return Verdict::unchanged;
  const bool introduced = std::any_of(terms.begin(), terms.end(), [&](const std::string& term) {
    return corrected.find(term) != std::string_view::npos && original.find(term) == std::string_view::npos;
  });
  const Coded texts = coded(original, corrected);
  const double d = levenshtein(texts.a, texts.b);
  const std::size_t longer = std::max(texts.a.size(), texts.b.size());
  const double ratio = longer > 1 ? d / static_cast<double>(longer) : d;
  return ratio <= (introduced ? 0.75 : 0.5) ? Verdict::accepted : Verdict::refused;
}

}  // namespace veltovoice::TranscriptCleaner
