#include "speech/Diarizer/DiarizerSpeaker.h"

#include <fmt/format.h>

namespace tesselaudio {
namespace {

float durationOf(const std::vector<DiarizerSegment>& segments) {
  float total = 0.0f;
  for (const auto& segment : segments) total += segment.duration();
  return total;
}

std::int64_t framesOf(const std::vector<DiarizerSegment>& segments) {
  std::int64_t total = 0;
  for (const auto& segment : segments) total += segment.length();
  return total;
}

std::optional<DiarizerSegment> popBack(std::vector<DiarizerSegment>& segments) {
  if (segments.empty()) return std::nullopt;
  std::optional<DiarizerSegment> last = std::move(segments.back());
  segments.pop_back();
  return last;
}

}  // namespace

DiarizerSpeaker::DiarizerSpeaker(platform::Uuid id, std::int64_t index,
                                 std::optional<std::string> name)
    : id_(id), name_(std::move(name)), index_(index) {}

DiarizerSpeaker::DiarizerSpeaker(const Snapshot& from)
    : id_(platform::Uuid::random()),
      name_(from.name),
      index_(from.index),
      finalizedSegments_(from.finalizedSegments),
      tentativeSegments_(from.tentativeSegments) {}

std::optional<std::string> DiarizerSpeaker::name() const {
  std::scoped_lock lock(propertyMutex_);
  return name_;
}

void DiarizerSpeaker::setName(std::optional<std::string> name) {
  std::scoped_lock lock(propertyMutex_);
  name_ = std::move(name);
}

std::int64_t DiarizerSpeaker::index() const {
  std::scoped_lock lock(propertyMutex_);
  return index_;
}

void DiarizerSpeaker::setIndex(std::int64_t index) {
  std::scoped_lock lock(propertyMutex_);
  index_ = index;
}

std::vector<DiarizerSegment> DiarizerSpeaker::finalizedSegments() const {
  std::scoped_lock lock(mutex_);
  return finalizedSegments_;
}

void DiarizerSpeaker::setFinalizedSegments(std::vector<DiarizerSegment> segments) {
  std::scoped_lock lock(mutex_);
  finalizedSegments_ = std::move(segments);
}

std::vector<DiarizerSegment> DiarizerSpeaker::tentativeSegments() const {
  std::scoped_lock lock(mutex_);
  return tentativeSegments_;
}

void DiarizerSpeaker::setTentativeSegments(std::vector<DiarizerSegment> segments) {
  std::scoped_lock lock(mutex_);
  tentativeSegments_ = std::move(segments);
}

std::string DiarizerSpeaker::description() const {
  std::scoped_lock lock(mutex_, propertyMutex_);
  return name_ ? *name_ : fmt::format("Speaker {}", index_);
}

bool DiarizerSpeaker::hasSegments() const {
  std::scoped_lock lock(mutex_);
  return !finalizedSegments_.empty() || !tentativeSegments_.empty();
}

std::int64_t DiarizerSpeaker::segmentCount() const {
  std::scoped_lock lock(mutex_);
  return static_cast<std::int64_t>(finalizedSegments_.size() + tentativeSegments_.size());
}

std::int64_t DiarizerSpeaker::finalizedSegmentCount() const {
  std::scoped_lock lock(mutex_);
  return static_cast<std::int64_t>(finalizedSegments_.size());
}

std::int64_t DiarizerSpeaker::tentativeSegmentCount() const {
  std::scoped_lock lock(mutex_);
  return static_cast<std::int64_t>(tentativeSegments_.size());
}

std::optional<DiarizerSegment> DiarizerSpeaker::lastSegment() const {
  std::scoped_lock lock(mutex_);
  if (!tentativeSegments_.empty()) return tentativeSegments_.back();
  if (!finalizedSegments_.empty()) return finalizedSegments_.back();
  return std::nullopt;
}

float DiarizerSpeaker::speechDuration() const {
  std::scoped_lock lock(mutex_);
  return durationOf(finalizedSegments_) + durationOf(tentativeSegments_);
}

float DiarizerSpeaker::finalizedSpeechDuration() const {
  std::scoped_lock lock(mutex_);
  return durationOf(finalizedSegments_);
}

float DiarizerSpeaker::tentativeSpeechDuration() const {
  std::scoped_lock lock(mutex_);
  return durationOf(tentativeSegments_);
}

std::int64_t DiarizerSpeaker::numSpeechFrames() const {
  std::scoped_lock lock(mutex_);
  return framesOf(finalizedSegments_) + framesOf(tentativeSegments_);
}

std::int64_t DiarizerSpeaker::numFinalizedSpeechFrames() const {
  std::scoped_lock lock(mutex_);
  return framesOf(finalizedSegments_);
}

std::int64_t DiarizerSpeaker::numTentativeSpeechFrames() const {
  std::scoped_lock lock(mutex_);
  return framesOf(tentativeSegments_);
}

void DiarizerSpeaker::rename(std::optional<std::string> to) {
  std::scoped_lock lock(mutex_, propertyMutex_);
  name_ = std::move(to);
}

void DiarizerSpeaker::reassign(std::int64_t toSlot) {
  std::scoped_lock lock(mutex_, propertyMutex_);
  index_ = toSlot;
}

void DiarizerSpeaker::finalize() {
  std::scoped_lock lock(mutex_);
  finalizedSegments_.insert(finalizedSegments_.end(), tentativeSegments_.begin(),
                            tentativeSegments_.end());
  tentativeSegments_.clear();
}

void DiarizerSpeaker::reset() {
  std::scoped_lock lock(mutex_);
  finalizedSegments_.clear();
  tentativeSegments_.clear();
}

void DiarizerSpeaker::rollback(const Snapshot& to, bool keepingName) {
  std::scoped_lock lock(mutex_, propertyMutex_);
  if (!keepingName) name_ = to.name;
  index_ = to.index;
  finalizedSegments_ = to.finalizedSegments;
  tentativeSegments_ = to.tentativeSegments;
}

DiarizerSpeaker::Snapshot DiarizerSpeaker::takeSnapshot() const {
  std::scoped_lock lock(mutex_, propertyMutex_);
  return Snapshot{name_, index_, finalizedSegments_, tentativeSegments_};
}

void DiarizerSpeaker::clearTentative(bool keepingCapacity) {
  std::scoped_lock lock(mutex_);
  if (keepingCapacity) {
    tentativeSegments_.clear();
  } else {
    std::vector<DiarizerSegment>().swap(tentativeSegments_);
  }
}

void DiarizerSpeaker::appendTentative(DiarizerSegment segment) {
  std::scoped_lock lock(mutex_);
  tentativeSegments_.push_back(std::move(segment));
}

void DiarizerSpeaker::appendFinalized(DiarizerSegment segment) {
  std::scoped_lock lock(mutex_);
  finalizedSegments_.push_back(std::move(segment));
}

void DiarizerSpeaker::append(DiarizerSegment segment) {
  std::scoped_lock lock(mutex_);
  auto& list = segment.isFinalized ? finalizedSegments_ : tentativeSegments_;
  list.push_back(std::move(segment));
}

std::optional<DiarizerSegment> DiarizerSpeaker::popLastTentative() {
  std::scoped_lock lock(mutex_);
  return popBack(tentativeSegments_);
}

std::optional<DiarizerSegment> DiarizerSpeaker::popLastFinalized() {
  std::scoped_lock lock(mutex_);
  return popBack(finalizedSegments_);
}

std::optional<DiarizerSegment> DiarizerSpeaker::popLast(bool fromFinalized) {
  std::scoped_lock lock(mutex_);
  return popBack(fromFinalized ? finalizedSegments_ : tentativeSegments_);
}

std::optional<DiarizerSegment> DiarizerSpeaker::popLast() {
  std::scoped_lock lock(mutex_);
  if (!tentativeSegments_.empty()) return popBack(tentativeSegments_);
  return popBack(finalizedSegments_);
}

std::optional<DiarizerSegment> DiarizerSpeaker::popLastIf(
    const std::function<bool(const DiarizerSegment&)>& predicate) {
  std::scoped_lock lock(mutex_);
  auto& list = tentativeSegments_.empty() ? finalizedSegments_ : tentativeSegments_;
  if (list.empty() || !predicate(list.back())) return std::nullopt;
  return popBack(list);
}

}  // namespace tesselaudio
