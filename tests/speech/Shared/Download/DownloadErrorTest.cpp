#include "speech/Shared/Download/DownloadError.h"

#include <gtest/gtest.h>

#include "platform/net/HttpStatusError.h"
#include "speech/Shared/Download/DownloadConfig.h"

namespace tesselaudio {
namespace {

TEST(DownloadErrorTest, DescriptionsAreExact) {
  struct Case {
    const char* name;
    DownloadError error;
    DownloadError::Case expectedCase;
    const char* description;
  };
  const Case cases[] = {
      {"rateLimitedOmitsStatus", DownloadError::rateLimited(429, "x"),
       DownloadError::Case::rateLimited, "Hugging Face rate limit encountered: x"},
      {"downloadFailedEmbedsUnderlying",
       DownloadError::downloadFailed("a/b.bin", std::make_exception_ptr(platform::HttpStatusError(500))),
       DownloadError::Case::downloadFailed,
       "Failed to download a/b.bin: The operation couldn\u2019t be completed. (HTTP error 500.)"},
      {"modelNotFound", DownloadError::modelNotFound("m.bin"), DownloadError::Case::modelNotFound,
       "Model file not found: m.bin"},
      {"htmlErrorResponse", DownloadError::htmlErrorResponse("sub", "<html>"),
       DownloadError::Case::htmlErrorResponse,
       "HuggingFace returned HTML instead of JSON for sub (rate limit or server issue): <html>"},
      {"invalidArtifact", DownloadError::invalidArtifact("w.bin", "empty file"),
       DownloadError::Case::invalidArtifact,
       "Downloaded artifact for w.bin is invalid (empty file); refusing to cache it."},
      {"stalledWholeSeconds", DownloadError::stalled("w.bin", 120.0), DownloadError::Case::stalled,
       "Download of w.bin stalled (no meaningful progress for 120s); cancelled for retry."},
      {"stalledTruncates", DownloadError::stalled("w.bin", 0.9), DownloadError::Case::stalled,
       "Download of w.bin stalled (no meaningful progress for 0s); cancelled for retry."},
      {"networkDisabled", DownloadError::networkDisabled("download(w.bin)"),
       DownloadError::Case::networkDisabled, "TesselAudio offline mode: download(w.bin) blocked"},
      {"modelMissingJoins", DownloadError::modelMissing("org/repo", {"A.mlmodelc", "B.mlmodelc"}),
       DownloadError::Case::modelMissing,
       "TesselAudio offline mode: required models missing for org/repo: A.mlmodelc, B.mlmodelc"},
      {"modelMissingEmptyList", DownloadError::modelMissing("org/repo", {}),
       DownloadError::Case::modelMissing,
       "TesselAudio offline mode: required models missing for org/repo: "},
      {"invalidResponse", DownloadError::invalidResponse(), DownloadError::Case::invalidResponse,
       "Received an invalid response from Hugging Face."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_EQ(c.error.errorCase(), c.expectedCase);
    EXPECT_EQ(c.error.domain(), DownloadError::kDomain);
  }
}

TEST(DownloadErrorTest, DownloadFailedKeepsUnderlyingUnchanged) {
  const auto error =
      DownloadError::downloadFailed("p", std::make_exception_ptr(platform::HttpStatusError(503)));
  ASSERT_NE(error.underlying(), nullptr);
  EXPECT_EQ(error.underlying()->domain(), "HTTP");
  EXPECT_EQ(error.underlying()->code(), 503);
  EXPECT_THROW(std::rethrow_exception(error.underlyingException()), platform::HttpStatusError);
  EXPECT_EQ(DownloadError::rateLimited(503, "m").statusCode(), 503);
}

TEST(DownloadConfigTest, DefaultHoldsTheDocumentedValues) {
  const DownloadConfig config = DownloadConfig::default_();
  EXPECT_EQ(config.timeout, 1800.0);
  EXPECT_EQ(config.minStallBytes, 1'048'576);
  EXPECT_EQ(config.stallWindow, 120.0);
  EXPECT_EQ(config.maxConcurrentFiles, 4);
}

}  // namespace
}  // namespace tesselaudio
