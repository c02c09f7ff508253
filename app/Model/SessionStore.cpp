#include "app/Model/SessionStore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "app/Model/AppLog.h"
#include "app/Model/JsonFields.h"
#include "platform/sys/JsonCodingError.h"
#include "app/Model/UserLocale.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/text/DateFormat.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxFileNameBytes = 255;  // NAME_MAX of Linux file systems
constexpr std::size_t kMaxLabelCharacters = 12;
constexpr std::string_view kTitlePrefix = "# ";
constexpr std::string_view kStartPrefix = "- 開始: ";
constexpr std::string_view kFullwidthColon = "：";

struct Listing {
  std::vector<fs::path> json;
  std::vector<fs::path> markdown;
};

// Direct entries of `folder` in the order the file system gives, hidden ones included.
Listing listFolder(const fs::path& folder) {
  Listing listing;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    const fs::path& path = it->path();
    const std::string extension = path.extension().string();
    if (extension == ".json") listing.json.push_back(path);
    if (extension == ".md") listing.markdown.push_back(path);
  }
  return listing;
}

// Every "markdownFile" string anywhere in `bytes`, found without decoding the rest, so that a
// conversation file we cannot read still keeps its rendering from being taken for a legacy file.
std::vector<std::string> scanMarkdownFileNames(std::string_view bytes) {
  static constexpr std::string_view kKey = "\"markdownFile\"";
  std::vector<std::string> names;
  for (std::size_t at = bytes.find(kKey); at != std::string_view::npos;
       at = bytes.find(kKey, at + 1)) {
    std::size_t i = at + kKey.size();
    auto skipBlanks = [&] {
      while (i < bytes.size() && std::string_view(" \t\r\n").find(bytes[i]) != std::string_view::npos) ++i;
    };
    skipBlanks();
    if (i >= bytes.size() || bytes[i] != ':') continue;
    ++i;
    skipBlanks();
    if (i >= bytes.size() || bytes[i] != '"') continue;
    std::size_t end = i + 1;
    while (end < bytes.size() && bytes[end] != '"') end += bytes[end] == '\\' ? 2 : 1;
    if (end >= bytes.size()) continue;
    const std::string_view literal = bytes.substr(i, end - i + 1);
    nlohmann::json decoded = nlohmann::json::parse(literal, nullptr, false);
    names.push_back(decoded.is_string() ? decoded.get<std::string>()
                                        : std::string(literal.substr(1, literal.size() - 2)));
  }
  return names;
}

// What reading one conversation file gave: the conversation, or the Markdown names that its
// undecodable bytes mention, or neither when it could not be read at all.
struct ReadResult {
  std::optional<VoiceSession> session;
  std::vector<std::string> namesOfUnreadable;
  // The file is there but could not be read (permission, I/O error): which rendering it names is
  // unknown.
  bool unreadable = false;
};

ReadResult readConversation(const fs::path& file) {
  ReadResult result;
  std::string bytes;
  try {
    bytes = platform::readFile(file);
  } catch (const platform::Error& error) {
    const bool vanished = error.domain() == platform::FileError::kPosixDomain && error.code() == ENOENT;
    result.unreadable = !vanished;
    return result;
  }
  try {
    result.session = VoiceSession::fromJsonText(bytes);
  } catch (const platform::JsonCodingError&) {
    result.namesOfUnreadable = scanMarkdownFileNames(bytes);
  }
  return result;
}

// Reads every file, decoding on several threads: decoding JSON costs far more than reading the
// bytes, and start-up waits for it. Results keep the order of `files`.
std::vector<ReadResult> readConversations(const std::vector<fs::path>& files) {
  std::vector<ReadResult> results(files.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < files.size(); i = next++) results[i] = readConversation(files[i]);
  };
  const std::size_t threads =
      std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), files.size() / 8);
  std::vector<std::jthread> workers;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads, same result
    }
  }
  work();
  return results;
}

void createFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw platform::FileError::fromErrno("create folder", folder, error.value());
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t begin = 0;
  for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', begin)) {
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  lines.push_back(text.substr(begin));
  return lines;
}

// Seconds since 1970 of the file's birth. Not every Linux file system records one; the time of
// the last change of content is then the closest the system knows, and the current time the last
// resort.
double fileCreationTime(const fs::path& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) == 0) {
    if (info.stx_mask & STATX_BTIME) return info.stx_btime.tv_sec + info.stx_btime.tv_nsec / 1e9;
    if (info.stx_mask & STATX_MTIME) return info.stx_mtime.tv_sec + info.stx_mtime.tv_nsec / 1e9;
  }
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// A whole decimal number ("05", "1.5", "-2"); nothing else, blanks included.
std::optional<double> parseDecimal(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0 || i != text.size()) return std::nullopt;
  return std::strtod(std::string(text).c_str(), nullptr);
}

// "01:05" -> 65; anything but exactly two numbers between the colons -> nothing.
std::optional<double> parseLegacyTime(std::string_view timePart) {
  std::vector<double> numbers;
  std::size_t begin = 0;
  while (begin <= timePart.size()) {
    std::size_t end = timePart.find(':', begin);
    if (end == std::string_view::npos) end = timePart.size();
    std::string_view piece = timePart.substr(begin, end - begin);
    if (!piece.empty()) {
      if (std::optional<double> n = parseDecimal(piece)) numbers.push_back(*n);
    }
    begin = end + 1;
  }
  if (numbers.size() != 2) return std::nullopt;
  return numbers[0] * 60 + numbers[1];
}

// Turns the lines of a legacy file into sentences and speaker labels.
class LegacyTranscriptReader {
 public:
  void read(std::string_view line) {
    const std::size_t close = line.find(']');
    if (startsWith(line, "[") && close != std::string_view::npos) {
      readSentenceLine(line, close);
    } else if (!segments_.empty()) {
      segments_.back().text += '\n';
      segments_.back().text += line;
    }
  }

  // The sentences, trimmed, and the names of the labels that are not default names.
  void finish(VoiceSession& session) {
    for (LiveSegment& segment : segments_) {
      segment.text = platform::text::trimWhitespaceAndNewlines(segment.text);
    }
    session.segments = std::move(segments_);
    for (std::size_t slot = 0; slot < labels_.size(); ++slot) {
      if (!startsWith(labels_[slot], "話者")) session.speakerNames[static_cast<int>(slot)] = labels_[slot];
    }
  }

 private:
  void readSentenceLine(std::string_view line, std::size_t close) {
    LiveSegment segment;
    segment.start = parseLegacyTime(line.substr(1, close - 1));
    std::string rest = platform::text::trimBlanks(line.substr(close + 1));
    const std::size_t colon = rest.find(kFullwidthColon);
    if (colon != std::string::npos &&
        platform::text::graphemeCount(std::string_view(rest).substr(0, colon)) <= kMaxLabelCharacters) {
      segment.speaker = slotOf(rest.substr(0, colon));
      segment.text = rest.substr(colon + kFullwidthColon.size());
    } else {
      segment.text = std::move(rest);
    }
    segments_.push_back(std::move(segment));
  }

  int slotOf(const std::string& label) {
    auto it = std::find(labels_.begin(), labels_.end(), label);
    if (it == labels_.end()) it = labels_.insert(labels_.end(), label);
    return static_cast<int>(it - labels_.begin());
  }

  std::vector<LiveSegment> segments_;
  std::vector<std::string> labels_;
};

}  // namespace

bool SessionStore::isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool SessionStore::isMarkdownFileName(const std::string& name) {
  constexpr std::string_view kExtension = ".md";
  return isPlainFileName(name) && name.size() > kExtension.size() &&
         std::string_view(name).ends_with(kExtension);
}

SessionStore SessionStore::inFolder(const std::filesystem::path& root) {
  return SessionStore{root / "Sessions", root / "Audio"};
}

std::filesystem::path SessionStore::conversationFile(const QUuid& id) const {
  return sessionsDirectory / (detail::uuidText(id) + ".json");
}

std::optional<fs::path> SessionStore::markdownPath(const VoiceSession& session) const {
  if (!session.markdownFile || !isMarkdownFileName(*session.markdownFile)) return std::nullopt;
  return sessionsDirectory / *session.markdownFile;
}

std::optional<fs::path> SessionStore::audioPath(const VoiceSession& session) const {
  if (!session.audioFile || !isPlainFileName(*session.audioFile)) return std::nullopt;
  return audioDirectory / *session.audioFile;
}

std::vector<VoiceSession> SessionStore::loadAll() const {
  std::error_code ignored;
  fs::create_directories(sessionsDirectory, ignored);
  Listing listing = listFolder(sessionsDirectory);
  std::vector<ReadResult> results = readConversations(listing.json);

  std::set<std::string> namedMarkdownFiles;
  std::vector<VoiceSession> sessions;
  std::optional<fs::path> unreadable;
  for (std::size_t i = 0; i < listing.json.size(); ++i) {
    ReadResult& result = results[i];
    if (result.session) {
      if (result.session->markdownFile) namedMarkdownFiles.insert(*result.session->markdownFile);
      sessions.push_back(std::move(*result.session));
    }
    for (std::string& name : result.namesOfUnreadable) namedMarkdownFiles.insert(std::move(name));
    if (result.unreadable && !unreadable) unreadable = listing.json[i];
  }
  // A rendering name that is not a plain ".md" name (edited by hand, say "<other ID>.json") would
  // have a save overwrite another file; the conversation gets a fresh name instead.
  for (VoiceSession& session : sessions) {
    if (session.markdownFile && !isMarkdownFileName(*session.markdownFile)) {
      session.markdownFile = newMarkdownFileName(session.startedAt, session.title, sessions);
    }
  }

  // A conversation file that cannot be read may name any of the Markdown files; converting them
  // would make a second conversation of its rendering.
  if (unreadable) {
    AppLog::error("会話ファイルを読めないため、Markdown ファイルの変換を次の起動に回します: " +
                  unreadable->string());
    listing.markdown.clear();
  }
  for (const fs::path& file : listing.markdown) {
    if (namedMarkdownFiles.count(file.filename().string())) continue;
    std::optional<VoiceSession> converted = migrate(file);
    if (!converted) continue;
    sessions.push_back(std::move(*converted));
    try {
      save(sessions.back());
    } catch (const platform::Error&) {
      // Converted again at the next start; this run still shows it.
    }
  }

  std::stable_sort(sessions.begin(), sessions.end(),
                   [](const VoiceSession& a, const VoiceSession& b) { return a.startedAt > b.startedAt; });
  return sessions;
}

void SessionStore::save(const VoiceSession& session) const {
  createFolder(sessionsDirectory);
  const std::string json = session.toJsonText();
  platform::writeFileAtomically(conversationFile(session.id), json);
  if (!session.markdownFile) return;
  const fs::path markdownPath = sessionsDirectory / *session.markdownFile;
  if (!SessionStore::isMarkdownFileName(*session.markdownFile)) {
    throw platform::FileError::fromErrno("write", markdownPath, EINVAL);
  }
  platform::writeFileAtomically(markdownPath, session.markdown());
}

std::optional<VoiceSession> SessionStore::migrate(const std::filesystem::path& markdown) {
  std::string text;
  try {
    text = platform::readFile(markdown);
  } catch (const platform::Error&) {
    return std::nullopt;
  }
  if (!platform::text::isValidUtf8(text)) return std::nullopt;
  const std::vector<std::string_view> lines = splitLines(text);

  VoiceSession session;
  session.title = markdown.stem().string();
  if (auto it = std::find_if(lines.begin(), lines.end(),
                             [](std::string_view l) { return startsWith(l, kTitlePrefix); });
      it != lines.end()) {
    session.title = std::string(it->substr(kTitlePrefix.size()));
  }
  session.startedAt = recordTimeFromUnixSeconds(fileCreationTime(markdown));
  if (auto it = std::find_if(lines.begin(), lines.end(),
                             [](std::string_view l) { return startsWith(l, kStartPrefix); });
      it != lines.end()) {
    if (std::optional<double> parsed = platform::text::parseDate(
            it->substr(kStartPrefix.size()), "yyyy/M/d H:mm:ss", "ja_JP")) {
      session.startedAt = recordTimeFromUnixSeconds(*parsed);
    }
  }
  session.markdownFile = markdown.filename().string();

  LegacyTranscriptReader reader;
  for (std::string_view line : lines) reader.read(line);
  reader.finish(session);
  return session;
}

std::string SessionStore::markdownFileName(double startedAt, const std::string& title,
                                           const std::string& suffix) {
  const std::string head =
      platform::text::formatDate(unixSecondsFromRecordTime(startedAt), "yyyy-MM-dd HHmm",
                                 userLocaleName()) + " ";
  const std::string tail = suffix + ".md";
  const std::string safeTitle = replaceAll(replaceAll(title, "/", "／"), ":", "：");
  const std::size_t fixed = head.size() + tail.size();
  const std::size_t budget = fixed < kMaxFileNameBytes ? kMaxFileNameBytes - fixed : 0;
  return head + platform::text::graphemePrefixWithinBytes(safeTitle, budget) + tail;
}

std::string SessionStore::newMarkdownFileName(double startedAt, const std::string& title,
                                              const std::vector<VoiceSession>& sessions) const {
  auto taken = [&](const std::string& name) {
    for (const VoiceSession& session : sessions) {
      if (session.markdownFile == name) return true;
    }
    std::error_code error;
    return fs::exists(fs::symlink_status(sessionsDirectory / name, error));
  };
  std::string name = markdownFileName(startedAt, title);
  for (int n = 2; taken(name); ++n) name = markdownFileName(startedAt, title, fmt::format(" {}", n));
  return name;
}

}  // namespace veltovoice
