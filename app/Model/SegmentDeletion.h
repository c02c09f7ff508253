#pragma once

#include <utility>
#include <vector>

#include <QUuid>

#include "app/Model/LiveSegment.h"

namespace veltovoice {

// The last deletion of several sentences, kept so that it can be undone once. A plain value that
// holds full copies of the removed sentences.
struct SegmentDeletion {
  QUuid sessionID;  // the conversation the sentences were removed from
  // Each removed sentence with its index in the sentence list before the deletion, ascending.
  std::vector<std::pair<int, LiveSegment>> removed;

  bool operator==(const SegmentDeletion&) const = default;
};

}  // namespace veltovoice
