#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/text/DoubleText.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPAError.h"

namespace tesselaudio {
namespace {

bool isAscii(std::string_view bytes) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, 8);
    if ((word & kHighBits) != 0) return false;
  }
  for (; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  }
  return true;
}

bool isAsciiWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One line as read: the text trimmed of whitespace and line breaks, and whether its bytes were
// valid UTF-8.
struct ARPALine {
  std::string_view text;
  bool wellFormed = true;
};

// Reads a file as lines split at line-feed bytes, one 64 KiB chunk at a time, so that a large model
// never sits in memory whole. Owns the file descriptor; one loading call uses it.
class ARPALineReader {
 public:
  // Throws ARPAError::cannotOpen when `path` cannot be opened for reading or is a folder.
  explicit ARPALineReader(const std::filesystem::path& path) : path_(path) {
    fileHandle_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fileHandle_ < 0) throw ARPAError::cannotOpen(path);
    struct stat status {};
    if (::fstat(fileHandle_, &status) != 0 || S_ISDIR(status.st_mode)) {
      ::close(fileHandle_);
      throw ARPAError::cannotOpen(path);
    }
  }

  // A close error has nobody left to tell.
  ~ARPALineReader() { ::close(fileHandle_); }
  ARPALineReader(const ARPALineReader&) = delete;
  ARPALineReader& operator=(const ARPALineReader&) = delete;

  // The next line, valid until the next call; nothing after the last one. A last line without a
  // line feed is a line. Throws ARPAError::cannotOpen when reading fails.
  std::optional<ARPALine> readLine() {
    for (;;) {
      const size_t feed = buffer_.find('\n', scanFrom_);
      if (feed != std::string::npos) {
        const std::string_view raw = std::string_view(buffer_).substr(lineStart_, feed - lineStart_);
        lineStart_ = scanFrom_ = feed + 1;
        return decoded(raw);
      }
      if (eof_) {
        if (lineStart_ == buffer_.size()) return std::nullopt;
        const std::string_view raw = std::string_view(buffer_).substr(lineStart_);
        lineStart_ = scanFrom_ = buffer_.size();
        return decoded(raw);
      }
      readChunk();
    }
  }

 private:
  static constexpr size_t chunkSize = 65536;

  void readChunk() {
    buffer_.erase(0, lineStart_);
    lineStart_ = 0;
    scanFrom_ = buffer_.size();
    const size_t kept = buffer_.size();
    buffer_.resize(kept + chunkSize);
    ssize_t count = 0;
    do {
      count = ::read(fileHandle_, buffer_.data() + kept, chunkSize);
    } while (count < 0 && errno == EINTR);
    if (count < 0) throw ARPAError::cannotOpen(path_);
    buffer_.resize(kept + static_cast<size_t>(count));
    if (count == 0) eof_ = true;
  }

  ARPALine decoded(std::string_view raw) {
    const bool ascii = isAscii(raw);
    const bool wellFormed = ascii || platform::text::unicodeScalars(raw).has_value();
    if (ascii) {
      while (!raw.empty() && isAsciiWhitespace(raw.front())) raw.remove_prefix(1);
      while (!raw.empty() && isAsciiWhitespace(raw.back())) raw.remove_suffix(1);
      return {raw, wellFormed};
    }
    trimmed_ = platform::text::trimWhitespaceAndNewlines(raw);
    return {trimmed_, wellFormed};
  }

  std::filesystem::path path_;
  int fileHandle_ = -1;
  std::string buffer_;
  size_t lineStart_ = 0;  // first byte of buffer_ not yet returned
  size_t scanFrom_ = 0;   // bytes before this one hold no line feed after lineStart_
  bool eof_ = false;
  std::string trimmed_;
};

enum class Section { none, unigrams, bigrams, other };

Section sectionNamed(std::string_view header) {
  if (header == "\\1-grams:") return Section::unigrams;
  if (header == "\\2-grams:") return Section::bigrams;
  return Section::other;
}

std::optional<float> floatField(std::string_view field) {
  const auto value = platform::text::parseDouble(field);
  if (!value) return std::nullopt;
  return static_cast<float>(*value);
}

// The value of an optional back-off field in natural logarithms; 0 when absent or not a number.
float backoffField(const std::vector<std::string_view>& fields, size_t index) {
  if (index >= fields.size()) return 0;
  return floatField(fields[index]).value_or(0) * ARPALanguageModel::log10ToNat;
}

void splitAtTabs(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  for (;;) {
    const size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return;
    line.remove_prefix(tab + 1);
  }
}

void warnMalformed(std::string_view line) {
  ARPALanguageModel::logger().warning("Skipping malformed ARPA line: " + std::string(line));
}

// Fills a model from the lines of a file, one at a time.
class ModelFiller {
 public:
  explicit ModelFiller(ARPALanguageModel& model) : model_(model) {}

  // Takes one trimmed line; false once the model is complete.
  bool take(std::string_view line) {
    if (line.empty() || line.starts_with("\\data\\")) return true;
    if (line == "\\end\\") return false;
    if (line.starts_with('\\')) {
      section_ = sectionNamed(line);
      return true;
    }
    if (!line.starts_with("ngram ")) takeDataLine(line);
    return true;
  }

 private:
  void takeDataLine(std::string_view line) {
    splitAtTabs(line, fields_);
    const auto log10Prob = floatField(fields_[0]);
    if (!log10Prob) {
      warnMalformed(line);
      return;
    }
    const float logProb = *log10Prob * ARPALanguageModel::log10ToNat;
    if (section_ == Section::unigrams && fields_.size() >= 2) {
      model_.unigrams[fields_[1]] = {logProb, backoffField(fields_, 2)};
    } else if (section_ == Section::bigrams && fields_.size() >= 3) {
      following(fields_[1])[fields_[2]] = {logProb, backoffField(fields_, 3)};
    }
  }

  // Bigrams come grouped by their previous word, so the last table found is usually the one. The
  // pointer is taken again after every insertion into model_.bigrams, which may move its tables.
  ARPALanguageModel::WordTable<ARPALanguageModel::Entry>& following(std::string_view previousWord) {
    if (lastFollowing_ == nullptr || lastPreviousWord_ != previousWord) {
      lastFollowing_ = &model_.bigrams[previousWord];
      lastPreviousWord_ = previousWord;
    }
    return *lastFollowing_;
  }

  ARPALanguageModel& model_;
  Section section_ = Section::none;
  std::vector<std::string_view> fields_;
  std::string lastPreviousWord_;
  ARPALanguageModel::WordTable<ARPALanguageModel::Entry>* lastFollowing_ = nullptr;
};

}  // namespace

const AppLogger& ARPALanguageModel::logger() {
  static const AppLogger instance("ARPALanguageModel");
  return instance;
}

ARPALanguageModel ARPALanguageModel::load(const std::filesystem::path& from) {
  ARPALineReader reader(from);
  ARPALanguageModel model;
  ModelFiller filler(model);
  while (const auto line = reader.readLine()) {
    // One damaged line must not cost the rest of the model.
    if (!line->wellFormed) {
      warnMalformed(platform::text::repairedUtf8(line->text));
      continue;
    }
    if (!filler.take(line->text)) break;
  }
  return model;
}

float ARPALanguageModel::score(std::string_view word, std::optional<std::string_view> prev) const {
  float backoff = 0;
  if (prev) {
    if (const auto* following = bigrams.find(*prev)) {
      if (const Entry* bigram = following->find(word)) return bigram->logProb;
    }
    if (const Entry* previous = unigrams.find(*prev)) backoff = previous->backoff;
  }
  const Entry* unigram = unigrams.find(word);
  return backoff + (unigram != nullptr ? unigram->logProb : unkLogProb);
}

}  // namespace tesselaudio
