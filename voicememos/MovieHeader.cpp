#include "voicememos/MovieHeader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/sys/FileError.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

constexpr std::uint32_t fourCC(std::string_view type) {
  std::uint32_t code = 0;
  for (char c : type) code = (code << 8) + static_cast<std::uint8_t>(c);
  return code;
}

constexpr std::uint32_t kMoov = fourCC("moov");
constexpr std::uint32_t kTrak = fourCC("trak");
constexpr std::uint32_t kMdia = fourCC("mdia");
constexpr std::uint32_t kUdta = fourCC("udta");
constexpr std::uint32_t kMeta = fourCC("meta");
constexpr std::uint32_t kKeys = fourCC("keys");
constexpr std::uint32_t kIlst = fourCC("ilst");
constexpr std::uint32_t kData = fourCC("data");
constexpr std::uint32_t kMdta = fourCC("mdta");
constexpr std::uint32_t kMvhd = fourCC("mvhd");
constexpr std::uint32_t kTsrp = fourCC("tsrp");
constexpr std::string_view kTranscriptKey = "com.apple.VoiceMemos.tsrp";

// A big-endian unsigned integer of `length` (0 to 8) bytes.
std::uint64_t integer(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < length; ++i) value = (value << 8) | bytes[i];
  return value;
}

// A file opened for reading, closed when it goes out of scope.
class File {
 public:
  explicit File(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw platform::FileError::fromErrno("open", path, errno);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
      const int error = errno;
      ::close(fd_);
      throw platform::FileError::fromErrno("inspect", path, error);
    }
    if (S_ISDIR(info.st_mode)) {
      ::close(fd_);
      throw platform::FileError::fromErrno("read", path, EISDIR);
    }
  }
  ~File() { ::close(fd_); }  // A failed close after reading loses nothing.
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_;
};

std::uint64_t fileLength(int fd, const std::filesystem::path& path) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) throw platform::FileError::fromErrno("seek in", path, errno);
  return static_cast<std::uint64_t>(end);
}

// Reads up to `count` bytes at `offset`; fewer only at the end of the file.
std::size_t readAt(int fd, std::uint64_t offset, std::uint8_t* into, std::size_t count,
                   const std::filesystem::path& path) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, into + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw platform::FileError::fromErrno("read", path, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

struct Range {
  std::size_t lower = 0;
  std::size_t upper = 0;
  std::size_t size() const { return upper - lower; }
};

struct Atom {
  std::uint32_t type = 0;
  Range payload;
};

// The atoms lying one after the other in `range`. A malformed atom ends the list.
std::vector<Atom> atoms(const std::vector<std::uint8_t>& bytes, Range range) {
  std::vector<Atom> found;
  std::size_t position = range.lower;
  while (range.upper - position >= 8) {
    const std::size_t remaining = range.upper - position;
    const std::uint64_t size = integer(&bytes[position], 4);
    std::uint64_t length = size;
    std::size_t header = 8;
    if (size == 0) {
      length = remaining;
    } else if (size == 1) {
      if (remaining < 16) break;
      length = integer(&bytes[position + 8], 8);
      header = 16;
      if (length < 16) break;
    } else if (size < 8) {
      break;
    }
    if (length > remaining) break;
    found.push_back({static_cast<std::uint32_t>(integer(&bytes[position + 4], 4)),
                     {position + header, position + static_cast<std::size_t>(length)}});
    position += static_cast<std::size_t>(length);
  }
  return found;
}

std::vector<Range> children(const std::vector<std::uint8_t>& bytes, std::uint32_t type,
                            Range range) {
  std::vector<Range> payloads;
  for (const Atom& atom : atoms(bytes, range)) {
    if (atom.type == type) payloads.push_back(atom.payload);
  }
  return payloads;
}

std::optional<Range> firstChild(const std::vector<std::uint8_t>& bytes, std::uint32_t type,
                                Range range) {
  for (const Atom& atom : atoms(bytes, range)) {
    if (atom.type == type) return atom.payload;
  }
  return std::nullopt;
}

// The 1-based number of the 'mdta' key `key` in a 'keys' payload, or none.
std::optional<std::uint32_t> keyIndex(const std::vector<std::uint8_t>& bytes, Range keys,
                                      std::string_view key) {
  if (keys.size() <= 7) return std::nullopt;
  const std::uint64_t count = integer(&bytes[keys.lower + 4], 4);
  if (count == 0) return std::nullopt;
  std::size_t position = keys.lower + 8;
  for (std::uint64_t index = 1; index <= count; ++index) {
    const std::size_t remaining = keys.upper - position;
    if (remaining < 8) return std::nullopt;
    const std::uint64_t keySize = integer(&bytes[position], 4);
    if (keySize < 8 || keySize > remaining) return std::nullopt;
    const std::uint32_t keyNamespace = static_cast<std::uint32_t>(integer(&bytes[position + 4], 4));
    const std::string_view name(reinterpret_cast<const char*>(&bytes[position + 8]),
                                static_cast<std::size_t>(keySize - 8));
    if (keyNamespace == kMdta && name == key) return static_cast<std::uint32_t>(index);
    position += static_cast<std::size_t>(keySize);
  }
  return std::nullopt;
}

// The value of the metadata item `key` in the payload of a 'meta' atom, in either form of 'meta'.
std::optional<Range> metadataValue(const std::vector<std::uint8_t>& bytes, std::string_view key,
                                   Range meta) {
  // The ISO form starts with a version and flags word of 0; the QuickTime form has none.
  if (meta.size() >= 4 && integer(&bytes[meta.lower], 4) == 0) meta.lower += 4;
  const auto keys = firstChild(bytes, kKeys, meta);
  const auto items = firstChild(bytes, kIlst, meta);
  if (!keys || !items) return std::nullopt;
  const auto index = keyIndex(bytes, *keys, key);
  if (!index) return std::nullopt;
  const auto item = firstChild(bytes, *index, *items);
  if (!item) return std::nullopt;
  const auto data = firstChild(bytes, kData, *item);
  if (!data || data->size() < 8) return std::nullopt;
  // Skip the type indicator and the locale indicator.
  return Range{data->lower + 8, data->upper};
}

std::optional<Range> transcriptRange(const std::vector<std::uint8_t>& bytes, Range movie) {
  for (const Range& track : children(bytes, kTrak, movie)) {
    std::vector<Range> userData = children(bytes, kUdta, track);
    for (const Range& media : children(bytes, kMdia, track)) {
      for (const Range& inner : children(bytes, kUdta, media)) userData.push_back(inner);
    }
    for (const Range& udta : userData) {
      if (const auto tsrp = firstChild(bytes, kTsrp, udta)) return tsrp;
    }
    for (const Range& meta : children(bytes, kMeta, track)) {
      if (const auto value = metadataValue(bytes, kTranscriptKey, meta)) return value;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<MovieHeader> MovieHeader::contentsOf(const std::filesystem::path& contentsOf) {
  const File file(contentsOf);
  const int fd = file.fd();
  const std::uint64_t length = fileLength(fd, contentsOf);
  std::uint64_t offset = 0;
  while (length - offset >= 8) {
    const std::uint64_t remaining = length - offset;
    std::uint8_t head[16];
    const std::size_t got = readAt(fd, offset, head, sizeof head, contentsOf);
    if (got < 8) throw VoiceMemosError::malformedAudioFile();
    const std::uint64_t size = integer(head, 4);
    std::uint64_t atomLength = size;
    std::uint64_t headerLength = 8;
    if (size == 1) {
      if (got < 16) throw VoiceMemosError::malformedAudioFile();
      atomLength = integer(head + 8, 8);
      headerLength = 16;
      if (atomLength < 16) throw VoiceMemosError::malformedAudioFile();
    } else if (size == 0) {
      atomLength = remaining;
    } else if (size < 8) {
      throw VoiceMemosError::malformedAudioFile();
    }
    if (atomLength > remaining) throw VoiceMemosError::malformedAudioFile();
    if (integer(head + 4, 4) != kMoov) {
      offset += atomLength;
      continue;
    }
    const std::uint64_t payloadLength = atomLength - headerLength;
    if (payloadLength > kMaxMovieBytes) throw VoiceMemosError::malformedAudioFile();
    MovieHeader header;
    header.bytes.resize(static_cast<std::size_t>(payloadLength));
    const std::size_t read = readAt(fd, offset + headerLength, header.bytes.data(),
                                    header.bytes.size(), contentsOf);
    if (read < header.bytes.size()) throw VoiceMemosError::malformedAudioFile();
    return header;
  }
  return std::nullopt;
}

std::optional<double> MovieHeader::duration() const {
  const auto mvhd = firstChild(bytes, kMvhd, {0, bytes.size()});
  if (!mvhd || mvhd->size() == 0) return std::nullopt;
  const bool version1 = bytes[mvhd->lower] == 1;
  const std::size_t scaleOffset = version1 ? 20 : 12;
  const std::size_t durationOffset = version1 ? 24 : 16;
  const std::size_t durationLength = version1 ? 8 : 4;
  if (mvhd->size() < durationOffset + durationLength) return std::nullopt;
  const std::uint64_t scale = integer(&bytes[mvhd->lower + scaleOffset], 4);
  if (scale == 0) return std::nullopt;
  const std::uint64_t units = integer(&bytes[mvhd->lower + durationOffset], durationLength);
  return static_cast<double>(units) / static_cast<double>(scale);
}

std::optional<std::vector<std::uint8_t>> MovieHeader::transcriptData() const {
  const auto range = transcriptRange(bytes, {0, bytes.size()});
  if (!range) return std::nullopt;
  return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(range->lower),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(range->upper));
}

}  // namespace voicememos
