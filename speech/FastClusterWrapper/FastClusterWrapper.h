#pragma once

#include <cstddef>
#include <cstdint>

// Centroid-linkage agglomerative clustering of points behind a flat interface: raw buffers and
// counts in, a status code out; nothing else (no exception) leaves it. Keeps no state between calls
// and allocates its working memory per call, so any number of calls may run at once.
//
// Input: n points of dimension m, row-major, n * m doubles.
// Output (the linkage matrix): n - 1 rows of four doubles, one per merge in merging order:
//   [smaller node, larger node, centroid distance, points in the new cluster]
// Nodes 0 ... n - 1 are the points; the cluster made in row i is node n + i. Distances may fall
// down the rows (centroid linkage has inversions).
//
// Status codes, checked in this order:
//   1 a null pointer; 0 for n = 0 (nothing written); 1 for m = 0; 2 when n or m >= 2^31;
//   3 when outputLength < 4n - 4; 0 for n = 1 (nothing written);
//   4 memory exhausted; 5 a NaN distance or another standard exception; 255 any other failure;
//   0 success.
//
// Of equally distant pairs, the one the nearest-neighbour heap reaches first merges first; squared
// distances are summed in coordinate order with fused multiply-add, so the order is reproducible.
// REQUIRES: `points` holds n * m values and `output` outputLength values.
std::int32_t fastcluster_compute_centroid_linkage(const double* points, std::size_t n, std::size_t m,
                                                  double* output, std::size_t outputLength);
