#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Marks intervals of work (a model prediction, a pipeline stage) in the system log, in place of the
// unified log's signposts. Each interval writes two debug records under the signposter's subsystem
// and category:
//
//   "begin #<id> <name>"   when it opens
//   "end #<id> <name>"     when it closes
//
// where <id>, unique in the process, pairs the two records of intervals that overlap. Nothing is
// written when the system log keeps no debug records. A value; safe from any thread.
//
//   platform::Signposter signposter("tessel-audio.diarization", platform::Signposter::pointsOfInterest);
//   {
//     auto interval = signposter.beginInterval("Segmentation Model Prediction");
//     model.prediction(inputs);
//   }  // the interval ends here
class Signposter {
 public:
  // The category of intervals that a profiler shows on its timeline.
  static constexpr const char* pointsOfInterest = "PointsOfInterest";

  // An open interval; ends when end() is called or the object goes away, whichever comes first.
  // Movable, not copyable; one thread at a time.
  class Interval {
   public:
    Interval(Interval&& other) noexcept;
    Interval& operator=(Interval&& other) noexcept;
    Interval(const Interval&) = delete;
    Interval& operator=(const Interval&) = delete;
    ~Interval();

    // Writes the end record; later calls do nothing.
    void end();

   private:
    friend class Signposter;
    Interval(const Signposter* signposter, std::string name, std::uint64_t id);

    const Signposter* signposter_;  // null once ended or moved from
    std::string name_;
    std::uint64_t id_;
  };

  Signposter(std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // Opens an interval named `name` and writes its begin record.
  // REQUIRES: this signposter outlives the interval.
  Interval beginInterval(std::string name) const;

 private:
  void write(const char* event, const std::string& name, std::uint64_t id) const;

  std::string subsystem_;
  std::string category_;
};

}  // namespace platform
