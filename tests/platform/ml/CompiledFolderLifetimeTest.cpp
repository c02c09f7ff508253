#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::ElementType;

std::vector<fs::path> entriesOf(const fs::path& folder) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder)) entries.push_back(entry.path());
  return entries;
}

// A process that compiles packages and ends without loading some of them leaves nothing in $TMPDIR.
TEST(CompiledFolderLifetimeTest, FoldersNoModelLoadedGoWhenTheProcessEnds) {
  const testsupport::TemporaryFolder packages;
  const testsupport::TemporaryFolder temporary;
  const fs::path package = testsupport::ModelBuilder("Echo")
                               .input("x", ElementType::float32, {1, 2})
                               .output("y", ElementType::float32, {1, 2})
                               .node("Identity", {"x"}, {"y"})
                               .writePackage(packages.path());

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("TMPDIR", temporary.path().c_str(), 1);
    int status = 0;
    try {
      for (int i = 0; i < 3; ++i) MLModel::compileModel(package);
      { MLModel loaded(MLModel::compileModel(package)); }
      if (entriesOf(temporary.path()).size() != 3) status = 2;
    } catch (...) {
      status = 3;
    }
    std::exit(status);  // runs static destructors, as a normal end does
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: the unloaded folders were gone before the end; 3: compiling failed";
  EXPECT_TRUE(entriesOf(temporary.path()).empty());
}

}  // namespace
}  // namespace platform
