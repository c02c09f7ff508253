#include "platform/audio/FragmentedAac.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "platform/audio/AudioError.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"

// The rewrite works on the boxes themselves: the fragments' sample tables become one index, and
// the audio is copied in large runs. Going through a demuxer and a muxer sample by sample costs
// several times as much as copying the file, and stopping a long recording waits for it.
namespace platform::FragmentedAac {
namespace {

constexpr std::string_view kPrimingPrefix = "priming ";

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A malformed box; becomes the caller's error with the path.
struct Malformed {
  std::string what;
};

// Reads big-endian fields from a box's payload, checking every read against its end.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint64_t read(int bytes) {
    if (at_ + static_cast<std::size_t>(bytes) > size_) throw Malformed{"a box ends early"};
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | data_[at_++];
    return value;
  }
  void skip(std::size_t bytes) {
    if (at_ + bytes > size_) throw Malformed{"a box ends early"};
    at_ += bytes;
  }
  std::size_t left() const { return size_ - at_; }
  const std::uint8_t* here() const { return data_ + at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// One box inside a loaded buffer: its type and payload.
struct Child {
  std::string_view type;
  const std::uint8_t* payload;
  std::size_t size;
  const std::uint8_t* begin;  // the box's header
  std::size_t boxSize;
};

std::vector<Child> childrenOf(const std::uint8_t* data, std::size_t size) {
  std::vector<Child> children;
  std::size_t at = 0;
  while (at + 8 <= size) {
    Reader header(data + at, size - at);
    std::uint64_t boxSize = header.read(4);
    const std::string_view type(reinterpret_cast<const char*>(data + at + 4), 4);
    header.skip(4);
    std::size_t headerSize = 8;
    if (boxSize == 1) {
      boxSize = header.read(8);
      headerSize = 16;
    } else if (boxSize == 0) {
      boxSize = size - at;
    }
    if (boxSize < headerSize || boxSize > size - at) throw Malformed{"a box runs past its parent"};
    children.push_back({type, data + at + headerSize, static_cast<std::size_t>(boxSize) - headerSize,
                        data + at, static_cast<std::size_t>(boxSize)});
    at += static_cast<std::size_t>(boxSize);
  }
  return children;
}

std::optional<Child> find(const std::uint8_t* data, std::size_t size, std::string_view path) {
  const std::size_t slash = path.find('/');
  const std::string_view first = path.substr(0, slash);
  for (const Child& child : childrenOf(data, size)) {
    if (child.type != first) continue;
    if (slash == std::string_view::npos) return child;
    // 'meta' is a full box: its children follow a version and flags.
    const std::size_t skip = child.type == "meta" ? 4 : 0;
    if (child.size < skip) return std::nullopt;
    return find(child.payload + skip, child.size - skip, path.substr(slash + 1));
  }
  return std::nullopt;
}

// What the index of the crash-safe file says about its track.
struct Track {
  std::vector<std::uint8_t> sampleDescription;  // the whole 'stsd' box
  std::uint32_t timescale = 0;
  std::uint32_t defaultDuration = 0;
  std::uint32_t defaultSize = 0;
  std::uint32_t primingFrames = 0;
};

Track readTrack(const std::vector<std::uint8_t>& movie) {
  Track track;
  const auto stsd = find(movie.data(), movie.size(), "trak/mdia/minf/stbl/stsd");
  const auto mdhd = find(movie.data(), movie.size(), "trak/mdia/mdhd");
  if (!stsd || !mdhd) throw Malformed{"the track has no sample description"};
  track.sampleDescription.assign(stsd->begin, stsd->begin + stsd->boxSize);
  Reader header(mdhd->payload, mdhd->size);
  const auto version = header.read(1);
  header.skip(3 + (version == 1 ? 16 : 8));
  track.timescale = static_cast<std::uint32_t>(header.read(4));
  if (track.timescale == 0) throw Malformed{"the track has no time scale"};
  if (const auto trex = find(movie.data(), movie.size(), "mvex/trex")) {
    Reader defaults(trex->payload, trex->size);
    defaults.skip(12);
    track.defaultDuration = static_cast<std::uint32_t>(defaults.read(4));
    track.defaultSize = static_cast<std::uint32_t>(defaults.read(4));
  }
  if (const auto data = find(movie.data(), movie.size(), "udta/meta/ilst/\xA9" "cmt/data")) {
    if (data->size > 8) {
      const std::string_view text(reinterpret_cast<const char*>(data->payload) + 8, data->size - 8);
      if (text.starts_with(kPrimingPrefix)) {
        for (char c : text.substr(kPrimingPrefix.size())) {
          if (c < '0' || c > '9' || track.primingFrames > 1'000'000) break;
          track.primingFrames = track.primingFrames * 10 + static_cast<std::uint32_t>(c - '0');
        }
      }
    }
  }
  return track;
}

// The samples of all fragments, in order, and where their bytes lie in the crash-safe file.
struct Samples {
  std::vector<std::uint32_t> durations;
  std::vector<std::uint32_t> sizes;
  // Runs of consecutive samples stored back to back: one chunk of the new index each.
  struct Run {
    std::uint64_t offset;
    std::uint64_t bytes;
    std::uint32_t count;
  };
  std::vector<Run> runs;
};

// Adds the samples of one 'moof' at `moofStart`; returns false at the first sample whose bytes lie
// past the end of the file (a fragment cut short), having kept those before it.
bool addFragment(const std::vector<std::uint8_t>& moof, std::uint64_t moofStart, std::uint64_t fileSize,
                 const Track& track, Samples& samples) {
  for (const Child& traf : childrenOf(moof.data(), moof.size())) {
    if (traf.type != "traf") continue;
    std::uint64_t base = moofStart;
    std::uint32_t defaultDuration = track.defaultDuration;
    std::uint32_t defaultSize = track.defaultSize;
    std::uint64_t next = base;  // where a run without its own offset begins
    for (const Child& box : childrenOf(traf.payload, traf.size)) {
      Reader reader(box.payload, box.size);
      if (box.type == "tfhd") {
        const auto flags = reader.read(4) & 0xFFFFFF;
        reader.skip(4);
        if (flags & 0x01) base = next = reader.read(8);
        if (flags & 0x02) reader.skip(4);
        if (flags & 0x08) defaultDuration = static_cast<std::uint32_t>(reader.read(4));
        if (flags & 0x10) defaultSize = static_cast<std::uint32_t>(reader.read(4));
        continue;
      }
      if (box.type != "trun") continue;
      const auto flags = reader.read(4) & 0xFFFFFF;
      const auto count = reader.read(4);
      std::uint64_t offset = next;
      if (flags & 0x01) offset = base + static_cast<std::uint64_t>(static_cast<std::int32_t>(reader.read(4)));
      if (flags & 0x04) reader.skip(4);
      Samples::Run run{offset, 0, 0};
      for (std::uint64_t i = 0; i < count; ++i) {
        const auto duration = flags & 0x100 ? static_cast<std::uint32_t>(reader.read(4)) : defaultDuration;
        const auto size = flags & 0x200 ? static_cast<std::uint32_t>(reader.read(4)) : defaultSize;
        if (flags & 0x400) reader.skip(4);
        if (flags & 0x800) reader.skip(4);
        if (size == 0 || run.offset + run.bytes + size > fileSize) {
          if (run.count > 0) samples.runs.push_back(run);
          return false;
        }
        samples.durations.push_back(duration);
        samples.sizes.push_back(size);
        run.bytes += size;
        ++run.count;
      }
      if (run.count > 0) samples.runs.push_back(run);
      next = run.offset + run.bytes;
    }
  }
  return true;
}

std::vector<std::uint8_t> readAt(int fd, std::uint64_t offset, std::size_t size, const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError::fromErrno("read", path, errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

struct Layout {
  Track track;
  Samples samples;
};

// Reads small ranges of a file through one window: the boxes of an hour's fragments are thousands
// of short reads a few hundred bytes apart.
class WindowedFile {
 public:
  WindowedFile(int fd, const std::filesystem::path& path) : fd_(fd), path_(path) {}

  // Up to `size` bytes from `offset`; fewer at the end of the file.
  std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t size) {
    if (size > kWindowBytes / 2) return readAt(fd_, offset, size, path_);
    if (offset < start_ || offset + size > start_ + window_.size()) {
      window_ = readAt(fd_, offset, kWindowBytes, path_);
      start_ = offset;
    }
    const auto begin = window_.begin() + static_cast<std::ptrdiff_t>(offset - start_);
    const std::size_t available = std::min<std::size_t>(size, window_.size() - (offset - start_));
    return std::vector<std::uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(available));
  }

 private:
  static constexpr std::size_t kWindowBytes = 256 * 1024;

  int fd_;
  const std::filesystem::path& path_;
  std::vector<std::uint8_t> window_;
  std::uint64_t start_ = 0;
};

// Reads the index and the fragments' sample tables. Throws Malformed when there is no usable
// index; a fragment cut short ends the samples.
Layout readLayout(int fd, std::uint64_t fileSize, const std::filesystem::path& path) {
  std::optional<Layout> layout;
  WindowedFile file(fd, path);
  std::uint64_t at = 0;
  while (at + 8 <= fileSize) {
    const std::vector<std::uint8_t> head = file.read(at, 16);
    if (head.size() < 8) break;
    Reader header(head.data(), head.size());
    std::uint64_t boxSize = header.read(4);
    const std::string_view type(reinterpret_cast<const char*>(head.data()) + 4, 4);
    header.skip(4);
    std::uint64_t headerSize = 8;
    if (boxSize == 1) {
      boxSize = header.read(8);
      headerSize = 16;
    } else if (boxSize == 0) {
      boxSize = fileSize - at;
    }
    if (boxSize < headerSize) break;
    const bool whole = boxSize <= fileSize - at;
    if (type == "moov") {
      if (!whole) throw Malformed{"the index is cut short"};
      const auto movie = file.read(at + headerSize, static_cast<std::size_t>(boxSize - headerSize));
      layout.emplace();
      layout->track = readTrack(movie);
    } else if (type == "moof") {
      if (!layout || !whole) break;
      const auto moof = file.read(at + headerSize, static_cast<std::size_t>(boxSize - headerSize));
      Samples& samples = layout->samples;
      const std::size_t kept = samples.sizes.size();
      const std::size_t keptRuns = samples.runs.size();
      try {
        if (!addFragment(moof, at, fileSize, layout->track, samples)) break;
      } catch (const Malformed&) {
        // A damaged fragment ends the audio, and none of it is kept.
        samples.durations.resize(kept);
        samples.sizes.resize(kept);
        samples.runs.resize(keptRuns);
        break;
      }
    }
    if (!whole) break;
    at += boxSize;
  }
  if (!layout) throw Malformed{"no index ('moov')"};
  return std::move(*layout);
}

// Big-endian box building.
class BoxWriter {
 public:
  void u8(std::uint64_t v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
  void u16(std::uint64_t v) { put(v, 2); }
  void u32(std::uint64_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void raw(std::string_view text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
  void raw(const std::vector<std::uint8_t>& data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  void fullHeader(int version, std::uint32_t flags) { u32((static_cast<std::uint32_t>(version) << 24) | flags); }

  // Opens a box; close() fills in its size.
  std::size_t open(std::string_view type) {
    const std::size_t start = bytes_.size();
    u32(0);
    raw(type);
    return start;
  }
  void close(std::size_t start) {
    const auto size = bytes_.size() - start;
    for (int i = 0; i < 4; ++i) bytes_[start + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  }
  void unityMatrix() {
    for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) u32(v);
  }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  void put(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t> bytes_;
};

void writeSampleTables(BoxWriter& out, const Samples& samples, std::uint64_t mdatPayload, bool wideOffsets) {
  std::size_t box = out.open("stts");
  std::vector<std::pair<std::uint32_t, std::uint32_t>> durations;  // count, duration
  for (std::uint32_t d : samples.durations) {
    if (!durations.empty() && durations.back().second == d) {
      ++durations.back().first;
    } else {
      durations.emplace_back(1, d);
    }
  }
  out.fullHeader(0, 0);
  out.u32(durations.size());
  for (auto [count, duration] : durations) {
    out.u32(count);
    out.u32(duration);
  }
  out.close(box);

  box = out.open("stsc");
  std::vector<std::pair<std::uint32_t, std::uint32_t>> chunks;  // first chunk, samples per chunk
  for (std::size_t i = 0; i < samples.runs.size(); ++i) {
    if (chunks.empty() || chunks.back().second != samples.runs[i].count) {
      chunks.emplace_back(static_cast<std::uint32_t>(i + 1), samples.runs[i].count);
    }
  }
  out.fullHeader(0, 0);
  out.u32(chunks.size());
  for (auto [first, count] : chunks) {
    out.u32(first);
    out.u32(count);
    out.u32(1);
  }
  out.close(box);

  box = out.open("stsz");
  out.fullHeader(0, 0);
  out.u32(0);
  out.u32(samples.sizes.size());
  for (std::uint32_t size : samples.sizes) out.u32(size);
  out.close(box);

  box = out.open(wideOffsets ? "co64" : "stco");
  out.fullHeader(0, 0);
  out.u32(samples.runs.size());
  std::uint64_t offset = mdatPayload;
  for (const Samples::Run& run : samples.runs) {
    if (wideOffsets) {
      out.u64(offset);
    } else {
      out.u32(offset);
    }
    offset += run.bytes;
  }
  out.close(box);
}

// 'ftyp' and 'moov' of the ordinary file whose audio begins at `mdatPayload`.
std::vector<std::uint8_t> ordinaryHeader(const Layout& layout, std::uint64_t mdatPayload, bool wideOffsets) {
  const Track& track = layout.track;
  std::uint64_t total = 0;
  for (std::uint32_t d : layout.samples.durations) total += d;
  const std::uint64_t priming = std::min<std::uint64_t>(track.primingFrames, total);
  const std::uint64_t played = total - priming;

  BoxWriter out;
  std::size_t box = out.open("ftyp");
  out.raw("M4A ");
  out.u32(0x200);
  out.raw("M4A isomiso2");
  out.close(box);

  const std::size_t moov = out.open("moov");
  box = out.open("mvhd");
  out.fullHeader(0, 0);
  out.zeros(8);
  out.u32(track.timescale);
  out.u32(played);
  out.u32(0x00010000);
  out.u16(0x0100);
  out.zeros(10);
  out.unityMatrix();
  out.zeros(24);
  out.u32(2);
  out.close(box);

  const std::size_t trak = out.open("trak");
  box = out.open("tkhd");
  out.fullHeader(0, 3);  // enabled, in the movie
  out.zeros(8);
  out.u32(1);
  out.zeros(4);
  out.u32(played);
  out.zeros(8);
  out.u16(0);
  out.u16(1);
  out.u16(0x0100);
  out.zeros(2);
  out.unityMatrix();
  out.zeros(8);
  out.close(box);

  if (total > 0) {
    // Plays from after the encoder's priming to the last real sample.
    const std::size_t edts = out.open("edts");
    box = out.open("elst");
    out.fullHeader(0, 0);
    out.u32(1);
    out.u32(played);
    out.u32(priming);
    out.u16(1);
    out.u16(0);
    out.close(box);
    out.close(edts);
  }

  const std::size_t mdia = out.open("mdia");
  box = out.open("mdhd");
  out.fullHeader(0, 0);
  out.zeros(8);
  out.u32(track.timescale);
  out.u32(total);
  out.u16(0x55C4);  // "und"
  out.u16(0);
  out.close(box);
  box = out.open("hdlr");
  out.fullHeader(0, 0);
  out.u32(0);
  out.raw("soun");
  out.zeros(12);
  out.raw(std::string_view("SoundHandler\0", 13));
  out.close(box);
  const std::size_t minf = out.open("minf");
  box = out.open("smhd");
  out.fullHeader(0, 0);
  out.u32(0);
  out.close(box);
  const std::size_t dinf = out.open("dinf");
  box = out.open("dref");
  out.fullHeader(0, 0);
  out.u32(1);
  const std::size_t url = out.open("url ");
  out.fullHeader(0, 1);  // the data is in this file
  out.close(url);
  out.close(box);
  out.close(dinf);
  const std::size_t stbl = out.open("stbl");
  out.raw(track.sampleDescription);
  writeSampleTables(out, layout.samples, mdatPayload, wideOffsets);
  out.close(stbl);
  out.close(minf);
  out.close(mdia);
  out.close(trak);
  out.close(moov);
  return out.bytes();
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::filesystem::path& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError::fromErrno("write", path, errno);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Gathers the runs' bytes from `in` into `out`, reading and writing in large blocks: the runs lie
// almost back to back, a few hundred bytes of fragment boxes between them.
class RunCopier {
 public:
  RunCopier(int in, int out, const std::filesystem::path& from, const std::filesystem::path& to)
      : in_(in), out_(out), from_(from), to_(to) {
    output_.reserve(kBlockBytes);
  }

  void copy(std::uint64_t offset, std::uint64_t bytes) {
    while (bytes > 0) {
      if (offset < windowStart_ || offset >= windowStart_ + window_.size()) fill(offset);
      const std::uint64_t inWindow = windowStart_ + window_.size() - offset;
      const auto n = static_cast<std::size_t>(std::min({bytes, inWindow, std::uint64_t{kBlockBytes - output_.size()}}));
      const std::uint8_t* begin = window_.data() + (offset - windowStart_);
      output_.insert(output_.end(), begin, begin + n);
      if (output_.size() == kBlockBytes) flush();
      offset += n;
      bytes -= n;
    }
  }

  void flush() {
    writeAll(out_, output_.data(), output_.size(), to_);
    output_.clear();
  }

 private:
  static constexpr std::size_t kBlockBytes = 1 << 20;

  void fill(std::uint64_t offset) {
    window_ = readAt(in_, offset, kBlockBytes, from_);
    windowStart_ = offset;
    if (window_.empty()) throw FileError::fromErrno("read", from_, EIO);  // the file shrank
  }

  int in_;
  int out_;
  const std::filesystem::path& from_;
  const std::filesystem::path& to_;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStart_ = 0;
  std::vector<std::uint8_t> output_;
};

void writeOrdinary(int in, const Layout& layout, const std::filesystem::path& from,
                   const std::filesystem::path& temporary) {
  std::uint64_t audioBytes = 0;
  for (const Samples::Run& run : layout.samples.runs) audioBytes += run.bytes;
  const bool largeMdat = audioBytes + 8 > 0xFFFFFFFFull;
  const std::uint64_t mdatHeader = largeMdat ? 16 : 8;
  // The header's size does not depend on the offsets it holds, only on their width.
  const std::size_t headerSize = ordinaryHeader(layout, 0, false).size();
  const bool wideOffsets = headerSize + mdatHeader + audioBytes > 0xFFFFFFFFull;
  const std::uint64_t mdatPayload = ordinaryHeader(layout, 0, wideOffsets).size() + mdatHeader;
  BoxWriter head;
  head.raw(ordinaryHeader(layout, mdatPayload, wideOffsets));
  if (largeMdat) {
    head.u32(1);
    head.raw("mdat");
    head.u64(audioBytes + 16);
  } else {
    head.u32(audioBytes + 8);
    head.raw("mdat");
  }

  Descriptor out(::open(temporary.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (out.get() < 0) throw FileError::fromErrno("open", temporary, errno);
  writeAll(out.get(), head.bytes().data(), head.bytes().size(), temporary);
  RunCopier copier(in, out.get(), from, temporary);
  for (const Samples::Run& run : layout.samples.runs) copier.copy(run.offset, run.bytes);
  copier.flush();
}

}  // namespace

bool isCrashSafeForm(const std::filesystem::path& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::array<char, 12> head{};
  if (::pread(fd.get(), head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) return false;
  return std::memcmp(head.data() + 4, "ftyp", 4) == 0 && std::memcmp(head.data() + 8, kBrand, 4) == 0;
}

double rewriteInOrdinaryForm(const std::filesystem::path& path) {
  Descriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw AudioError::openFailed(path.string(), std::strerror(errno));
  struct stat info {};
  if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw AudioError::openFailed(path.string(), "not a regular file");
  }
  Layout layout;
  try {
    layout = readLayout(in.get(), static_cast<std::uint64_t>(info.st_size), path);
  } catch (const Malformed& malformed) {
    throw AudioError::openFailed(path.string(), malformed.what);
  } catch (const FileError& error) {
    throw AudioError::openFailed(path.string(), error.description());
  }
  try {
    replaceFileAtomically(path, [&](const std::filesystem::path& temporary) {
      writeOrdinary(in.get(), layout, path, temporary);
    });
  } catch (const FileError& error) {
    throw AudioError::writeError(path.string(), error.description());
  }
  std::uint64_t total = 0;
  for (std::uint32_t d : layout.samples.durations) total += d;
  const std::uint64_t priming = std::min<std::uint64_t>(layout.track.primingFrames, total);
  return static_cast<double>(total - priming) / layout.track.timescale;
}

namespace detail {
std::string primingComment(int primingFrames) { return fmt::format("{}{}", kPrimingPrefix, primingFrames); }
}  // namespace detail

}  // namespace platform::FragmentedAac
