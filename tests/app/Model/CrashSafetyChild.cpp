// A process for the crash tests to kill at a known point. It reports on standard output when it
// got there and then waits; it never ends its work in an orderly way.
//
//   crash_safety_child record <source> <target.m4a> <seconds>
//       records <source> through the real RecordingWriter into <target.m4a>, buffer by buffer as a
//       microphone tap hands them over; once <seconds> of audio are written it prints
//       "written <frames>" and waits to be killed.
//   crash_safety_child import <application folder> <source>
//       starts the conversation model on <application folder> and imports <source> (a named pipe
//       lets the test hold the copy where it wants); prints "importing" and runs until killed.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "DevadEvev/RecordingWriter.h"
#include "app/Model/LiveModel.h"
#include "tests/support/AudioFixtures.h"

namespace {

// Waits until the test kills this process; should it close our input instead, ends without
// letting anything finish its files.
[[noreturn]] void waitToBeKilled() {
  char byte = 0;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  std::_Exit(3);
}

int record(const std::string& source, const std::string& target, double seconds) {
  const testsupport::DecodedAudio audio = testsupport::readAudioFile(source);
  const std::vector<float>& samples = audio.channels.at(0);
  devadevev::RecordingWriter writer(target);
  const auto stopAt = static_cast<std::int64_t>(seconds * devadevev::RecordingWriter::kSampleRate);
  std::int64_t appended = 0;
  for (std::size_t start = 0; start < samples.size(); start += 4096) {
    const std::size_t end = std::min(samples.size(), start + 4096);
    writer.append(*testsupport::floatBuffer(
        audio.sampleRate, {std::vector<float>(samples.begin() + start, samples.begin() + end)}));
    appended += static_cast<std::int64_t>(end - start);
    // A tap hands over a buffer every 85 ms; the writer keeps up with it.
    while (writer.framesWritten() < appended) std::this_thread::yield();
    if (writer.framesWritten() >= stopAt) {
      std::printf("written %lld\n", static_cast<long long>(writer.framesWritten()));
      std::fflush(stdout);
      waitToBeKilled();
    }
  }
  std::fprintf(stderr, "the source is shorter than %g s\n", seconds);
  std::_Exit(2);
}

int import(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  veltovoice::LiveModel model(argv[2], veltovoice::LiveModelServices());
  QCoro::Task<> importing = model.importFile(argv[3]);
  std::printf("importing\n");
  std::fflush(stdout);
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "record" && argc == 5) return record(argv[2], argv[3], std::atof(argv[4]));
  if (mode == "import" && argc == 4) return import(argc, argv);
  std::fprintf(stderr, "usage: %s record <source> <target> <seconds> | import <folder> <source>\n", argv[0]);
  return 64;
}
