#pragma once

#include <cstdint>
#include <vector>

// Assigns the embeddings of every window to clusters so that two local speakers of one window
// never share a cluster: a maximum-score one-to-one assignment per window. Stateless; safe from
// any thread.
//
//   auto labels = ConstrainedClusterAssignment::assign(scores, chunkIndices);  // -2: no cluster
namespace tesselaudio::ConstrainedClusterAssignment {

// The cluster of each embedding: row i of `scores` holds its score for every cluster (higher is
// better), chunkIndices[i] its window. The embeddings of each window are solved apart, in
// ascending position order, maximising their summed score; an embedding left over when a window
// has more local speakers than clusters gets -2. Never throws; outside the contract, an embedding
// without a window index and every embedding of a window whose score rows differ in length get -2.
std::vector<std::int64_t> assign(const std::vector<std::vector<double>>& scores,
                                 const std::vector<std::int64_t>& chunkIndices);

}  // namespace tesselaudio::ConstrainedClusterAssignment
