#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sys/Error.h"

// The byte-pair-encoding subset of a "tokenizer.json" file: only these keys are read, everything
// else (normaliser, pre-tokeniser, decoder, post-processor, the model's unknown-token setting and
// the flags of added tokens) is ignored.
//
//   { "model": { "type": "BPE",                        exactly this text
//                "vocab": { "<piece>": <id>, ... },     every value an integer
//                "merges": [ "<left> <right>", ... ] }, strings; the order is the rank
//     "added_tokens": [ { "content": "<piece>", "id": <id> }, ... ] }   optional
//
// A merge entry splits at the first space after its first part (leading spaces skipped); the rest
// of the entry, further spaces included, is the right piece. An entry without both parts is
// skipped, as is an added token without a string content and an integer id (a later duplicate
// wins). Piece texts are kept in Normalization Form C, so that canonically equivalent pieces
// compare equal byte for byte.
namespace tesselaudio {

// A byte-pair-encoding tokenizer loaded from a model folder. Immutable once loaded; safe to use
// from several threads at once.
//
//   auto tokenizer = BpeTokenizer::load(modelFolder);
//   std::vector<std::int64_t> ids = tokenizer->encode("Tessel Audio", false, true);
class BpeTokenizer {
 public:
  // A tokenizer file that is missing or does not describe a BPE model. Values.
  class Error : public platform::Error {
   public:
    static constexpr const char* kDomain = "TesselAudio.BpeTokenizer.Error";

    enum class Case { fileNotFound, invalidJSON, missingField, unsupportedTokenizerType };

    // "tokenizer.json not found at <file path>"; the file is the error's filePath().
    static Error fileNotFound(const std::filesystem::path& file);
    // "Invalid JSON: <message>".
    static Error invalidJSON(const std::string& message);
    // "Missing required field: <field>".
    static Error missingField(const std::string& field);
    // "Unsupported tokenizer type: <type>. Only 'BPE' is supported."
    static Error unsupportedTokenizerType(const std::string& type);

    Case errorCase() const { return static_cast<Case>(code()); }
    // The message, field path or type text of the case (the file path for fileNotFound).
    const std::string& detail() const { return detail_; }

   private:
    Error(Case errorCase, std::string description, std::string detail,
          std::optional<std::filesystem::path> file = std::nullopt);

    std::string detail_;
  };

  using Pair = std::pair<std::string, std::string>;

  // Reads `folder`/"tokenizer.json". Throws Error::fileNotFound when no file is there,
  // platform::FileError when it cannot be read, nlohmann::json::parse_error (unwrapped) when it is
  // not JSON, and the other Error cases for a file that is not a BPE description, checked in the
  // order root, model, model.type, its value, model.vocab, model.merges.
  static std::shared_ptr<const BpeTokenizer> load(const std::filesystem::path& folder);

  // The ids of `text`: lower-cased (locale-independent), NFKC (so U+00A0 and U+3000 become spaces),
  // every space turned into the word mark U+2581, one more mark in front when
  // `prependWordBoundary`; then split into user-perceived characters and merged, lowest-ranked
  // adjacent pair first, all its non-overlapping occurrences at once, left to right, until no
  // adjacent pair has a rank. A piece maps to its added-token id, else its vocabulary id, else the
  // id of "<unk>" (added, then vocabulary), else 0. `addSpecialTokens` has no effect: no start or
  // end token is ever added. Never throws.
  std::vector<std::int64_t> encode(std::string_view text, bool addSpecialTokens,
                                   bool prependWordBoundary) const;

  const std::unordered_map<std::string, std::int64_t>& vocab() const { return vocab_; }
  // In file order; the index is the rank (0 is merged first).
  const std::vector<Pair>& merges() const { return merges_; }
  const std::unordered_map<std::string, std::int64_t>& addedTokens() const { return addedTokens_; }

  // The initial pieces of `text` as encode() makes them, before any merge.
  static std::vector<std::string> initialPieces(std::string_view text, bool prependWordBoundary);

  // The id encode() gives the final piece `piece`.
  std::int64_t idOf(const std::string& piece) const;

 private:
  BpeTokenizer(std::unordered_map<std::string, std::int64_t> vocab, std::vector<Pair> merges,
               std::unordered_map<std::string, std::int64_t> addedTokens);

  // The rank of the first merge entry equal to (left, right), or npos.
  std::size_t rankOf(const std::string& left, const std::string& right, std::string& scratch) const;

  std::unordered_map<std::string, std::int64_t> vocab_;
  std::vector<Pair> merges_;
  std::unordered_map<std::string, std::int64_t> addedTokens_;
  // "<left> <right>" of each merge to its first index; unambiguous because a left piece holds no
  // space.
  std::unordered_map<std::string, std::size_t> ranks_;
};

}  // namespace tesselaudio
