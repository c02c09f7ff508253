#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sys/Uuid.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Speaker/RawEmbedding.h"
#include "speech/Speaker/Speaker.h"
#include "speech/Speaker/SpeakerInitializationMode.h"

namespace tesselaudio {

// The in-memory speaker database of the chunked diarizer: speakers by id, matched by cosine
// distance. An embedding closer than embeddingThreshold refines its speaker, one closer than
// speakerThreshold is only attributed to it, and anything else makes a new speaker with the next
// free numeric id ("1", "2", ...) when it stands for enough speech. Nothing is thrown: problems
// are logged (category "SpeakerManager") and give none or no change. A plain value, copied on
// assignment; one caller at a time per instance.
//
//   SpeakerManager speakers(0.84f, 0.56f, 1.0f, 2.0f);
//   if (auto speaker = speakers.assignSpeaker(embedding, 3.2f)) use(speaker->id);
class SpeakerManager {
 public:
  // The only embedding length assignment and loading accept.
  static constexpr std::size_t embeddingSize = 256;

  struct Match {
    std::string id;
    float distance;

    bool operator==(const Match&) const = default;
  };

  struct Lookup {
    std::optional<std::string> id;
    float distance;
  };

  // A proposed merge: speakerToMerge into destination.
  struct MergePair {
    std::string speakerToMerge;
    std::string destination;

    bool operator==(const MergePair&) const = default;
  };

  struct GlobalSpeakerStats {
    std::int64_t totalSpeakers = 0;
    // Seconds.
    float totalDuration = 0;
    // A tenth of the mean update count, at most 1.
    float averageConfidence = 0;
    std::int64_t speakersWithHistory = 0;

    bool operator==(const GlobalSpeakerStats&) const = default;
  };

  SpeakerManager(float speakerThreshold, float embeddingThreshold, float minSpeechDuration,
                 float minEmbeddingUpdateDuration);

  // Matches `embedding` (256 values, normalised here) against the known speakers and returns the
  // record it was given to: the closest speaker when its distance is below the threshold (the
  // argument, else speakerThreshold), else a new speaker when speechDuration reaches
  // minSpeechDuration. None when the size is wrong, the speech is too short for a new speaker or
  // no id is left. `confidence` and `newName` do not change the outcome.
  std::optional<Speaker> assignSpeaker(std::span<const float> embedding, float speechDuration,
                                       float confidence = 1.0f,
                                       std::optional<float> speakerThreshold = std::nullopt,
                                       const std::optional<std::string>& newName = std::nullopt);

  // The closest speaker when its distance is at most the threshold; otherwise none and +infinity.
  // The embedding is used as given.
  Lookup findSpeaker(std::span<const float> embedding,
                     std::optional<float> speakerThreshold = std::nullopt) const;

  // Every speaker at most the threshold away, closest first (stable); NaN distances never appear.
  std::vector<Match> findMatchingSpeakers(std::span<const float> embedding,
                                          std::optional<float> speakerThreshold = std::nullopt) const;

  // The ids of the speakers for which `predicate` holds, in ascending id order.
  std::vector<std::string> findSpeakers(const std::function<bool(const Speaker&)>& predicate) const;

  // Loads known speakers: in mode reset the database is emptied first (keeping permanent speakers
  // when preserveIfPermanent is set); a speaker whose id is stored is merged into it, replaces it
  // or is skipped as the mode says, permanent stored speakers being left alone when
  // preserveIfPermanent is set. Speakers without 256 values are skipped. The next id follows the
  // largest numeric id among the speakers loaded from the list.
  void initializeKnownSpeakers(const std::vector<Speaker>& speakers, SpeakerInitializationMode mode,
                               bool preserveIfPermanent);

  // Empties the database, or keeps its permanent speakers; the next id follows what remains.
  void reset(bool keepIfPermanent = false);

  // Inserts a record under its id, or updates the stored one from it (name replaced, creation time
  // kept, permanence never cleared).
  void upsertSpeaker(const Speaker& speaker);
  // Inserts a speaker made from these fields (embedding normalised, missing dates now, missing name
  // the id), or updates the stored one: embedding as given, duration, history and update count
  // replaced, name only when given, permanence only ever set.
  void upsertSpeaker(const std::string& id, const std::optional<std::string>& name,
                     std::span<const float> currentEmbedding, float duration,
                     const std::vector<RawEmbedding>& rawEmbeddings, std::int64_t updateCount,
                     std::optional<double> createdAt, std::optional<double> updatedAt,
                     bool isPermanent);

  bool hasSpeaker(const std::string& id) const { return speakerDatabase_.contains(id); }
  std::size_t speakerCount() const { return speakerDatabase_.size(); }
  // Ids in ascending text order ("10" before "2").
  std::vector<std::string> speakerIds() const;
  std::vector<std::string> permanentSpeakerIds() const;
  // A copy of the database.
  std::map<std::string, Speaker> getAllSpeakers() const { return speakerDatabase_; }
  std::vector<Speaker> getSpeakerList() const;
  std::optional<Speaker> getSpeaker(const std::string& id) const;
  // The ids (not the display names), in ascending text order.
  std::vector<std::string> getCurrentSpeakerNames() const { return speakerIds(); }

  // Maintenance. None of these changes the id counters, so ids of speakers removed or merged away
  // are not handed out again; each logs what it did or refused.

  // Sets or clears one speaker's protection against removal and merging away; an unknown id is
  // only logged.
  void makeSpeakerPermanent(const std::string& id);
  void revokePermanence(const std::string& from);
  void resetPermanentFlags();

  // Folds speaker `source` into `into` (histories joined, durations and counts added, the name
  // replaced when `mergedName` is given, the main embedding recomputed) and removes `source`.
  // Nothing happens for equal or unknown ids, or a permanent source while stopIfPermanent is set.
  void mergeSpeaker(const std::string& source, const std::string& into,
                    const std::optional<std::string>& mergedName = std::nullopt, bool stopIfPermanent = true);

  // The pairs of speakers whose main embeddings are closer than the threshold (the argument, else
  // speakerThreshold), in id order: the later speaker goes into the earlier one, unless the later
  // is permanent. Pairs of two permanent speakers are skipped while excludeIfBothPermanent is set.
  // Merges nothing.
  std::vector<MergePair> findMergeablePairs(std::optional<float> speakerThreshold = std::nullopt,
                                            bool excludeIfBothPermanent = true) const;

  // Removes one speaker unless it is permanent and keepIfPermanent is set.
  void removeSpeaker(const std::string& id, bool keepIfPermanent = true);
  // Removes the speakers last updated strictly before `since` (seconds since 2001-01-01 UTC), or
  // more than `seconds` ago, keeping permanent ones while keepIfPermanent is set.
  void removeSpeakersInactiveSince(double since, bool keepIfPermanent = true);
  void removeSpeakersInactiveFor(double seconds, bool keepIfPermanent = true);
  // Removes the speakers for which `where` holds (it sees every speaker), keeping permanent ones
  // while keepIfPermanent is set.
  void removeSpeakers(const std::function<bool(const Speaker&)>& where, bool keepIfPermanent);
  void removeSpeakers(const std::function<bool(const Speaker&)>& where) { removeSpeakers(where, true); }

  // Moves the first history entry of `segmentId` from speaker `from` to the end of speaker `to`'s
  // history, unchanged; main embeddings, durations, counts and dates stay. False (and a warning)
  // when a speaker or the segment is not found.
  bool reassignSegment(platform::Uuid segmentId, const std::string& from, const std::string& to);

  // Counts over the database, logged at info level; zeros and no line for an empty one.
  GlobalSpeakerStats getGlobalSpeakerStats() const;

  const std::map<std::string, Speaker>& speakerDatabase() const { return speakerDatabase_; }
  // The numeric id the next new speaker receives, unless that id is already stored.
  std::int64_t nextSpeakerId() const { return nextSpeakerId_; }
  std::int64_t highestSpeakerId() const { return highestSpeakerId_; }

  float speakerThreshold() const { return speakerThreshold_; }
  void setSpeakerThreshold(float threshold) { speakerThreshold_ = threshold; }
  float embeddingThreshold() const { return embeddingThreshold_; }
  void setEmbeddingThreshold(float threshold) { embeddingThreshold_ = threshold; }
  float minSpeechDuration() const { return minSpeechDuration_; }
  void setMinSpeechDuration(float seconds) { minSpeechDuration_ = seconds; }
  float minEmbeddingUpdateDuration() const { return minEmbeddingUpdateDuration_; }
  void setMinEmbeddingUpdateDuration(float seconds) { minEmbeddingUpdateDuration_ = seconds; }

 private:
  Lookup findClosestSpeaker(std::span<const float> embedding) const;
  void updateExistingSpeaker(const std::string& speakerId, std::span<const float> embedding,
                             float duration, float distance);
  std::optional<Speaker> createSpeaker(const std::vector<float>& embedding, float speechDuration,
                                       float distance);
  // Sets the counters so that the next new speaker follows `highest`.
  void continueAfter(std::int64_t highest);
  // Loads one known speaker as the mode says; true when it was stored.
  bool loadKnownSpeaker(const Speaker& speaker, SpeakerInitializationMode mode,
                        bool preserveIfPermanent);

  AppLogger logger_;
  std::map<std::string, Speaker> speakerDatabase_;
  std::int64_t nextSpeakerId_ = 1;
  std::int64_t highestSpeakerId_ = 0;
  float speakerThreshold_;
  float embeddingThreshold_;
  float minSpeechDuration_;
  float minEmbeddingUpdateDuration_;
};

}  // namespace tesselaudio
