// Hashing a downloaded file, as the model cache checks content ids:
//
//   BM_HashFile256MiB            ModelCache::hashFile (SHA-256, read in 1 MiB chunks) of a 256 MiB
//                                file, with "MiB_per_s"
//   BM_OpenSSLSha256File256MiB   one-shot OpenSSL SHA-256 over the same file's mapped bytes, the
//                                throughput hashFile is compared with (target: at least 0.9× of it)

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/crypto/HashFunction.h"
#include "speech/Shared/Download/ModelCache.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr std::size_t kFileBytes = 256u << 20;

// One 256 MiB file of seeded random bytes for every case of the run, in the page cache after
// its first read.
const std::filesystem::path& hashedFile() {
  static const testsupport::TemporaryFolder folder;
  static const std::filesystem::path path = [] {
    const auto file = folder.path() / "weight.bin";
    std::ofstream out(file, std::ios::binary);
    std::mt19937_64 random(256);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::size_t written = 0; written < kFileBytes; written += block.size() * sizeof(std::uint64_t)) {
      for (auto& word : block) word = random();
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
    return file;
  }();
  return path;
}

void reportThroughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
  state.counters["MiB_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 256.0, benchmark::Counter::kIsRate);
}

void BM_HashFile256MiB(benchmark::State& state) {
  const auto& file = hashedFile();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tesselaudio::ModelCache::hashFile(file, platform::HashFunction::sha256()));
  }
  reportThroughput(state);
}
BENCHMARK(BM_HashFile256MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_OpenSSLSha256File256MiB(benchmark::State& state) {
  const auto& file = hashedFile();
  for (auto _ : state) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      state.SkipWithError("cannot open the file");
      return;
    }
    void* bytes = ::mmap(nullptr, kFileBytes, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (bytes == MAP_FAILED) {
      state.SkipWithError("cannot map the file");
      return;
    }
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    SHA256(static_cast<const unsigned char*>(bytes), kFileBytes, digest.data());
    benchmark::DoNotOptimize(digest);
    ::munmap(bytes, kFileBytes);
  }
  reportThroughput(state);
}
BENCHMARK(BM_OpenSSLSha256File256MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
