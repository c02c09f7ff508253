#include "speech/FastClusterWrapper/FastClusterWrapper.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

// Node numbers reach 2n - 2, beyond a signed 32-bit integer for n close to 2^31.
using Node = std::uint32_t;

constexpr std::size_t kLimit = std::size_t{1} << 31;

// A NaN distance: centroid linkage has no answer for it.
class NanError : public std::domain_error {
 public:
  NanError() : std::domain_error("nan_error") {}
};

// Squared Euclidean distance, summed in coordinate order with fused multiply-add. Cloned for
// processors with FMA so that the fused step is one instruction instead of a library call; both
// clones give the same, correctly rounded result.
[[gnu::target_clones("fma", "default")]] double squaredDistance(const double* x, const double* y,
                                                                std::size_t m) {
  double sum = 0.0;
  for (std::size_t c = 0; c < m; ++c) {
    const double difference = x[c] - y[c];
    sum = std::fma(difference, difference, sum);
  }
  return sum;
}

template <class T>
std::vector<T> allocate(std::size_t count, T value = T{}) {
  if (count > std::vector<T>().max_size()) throw std::bad_alloc();
  return std::vector<T>(count, value);
}

// The points, the centroids of merged nodes and the member counts: the distances of the
// algorithm, computed on demand.
class CentroidDissimilarity {
 public:
  CentroidDissimilarity(const double* points, std::size_t n, std::size_t m)
      : points_(points),
        n_(n),
        m_(m),
        centroids_(allocate<double>((n - 1) * m)),
        members_(allocate<std::int32_t>(2 * n - 1, 1)) {}

  double operator()(Node i, Node j) const {
    const double distance = squaredDistance(representative(i), representative(j), m_);
    if (std::isnan(distance)) throw NanError();
    return distance;
  }

  // Makes node j the centroid of nodes a and b, weighted by their members.
  void merge(Node a, Node b, Node j) {
    const double membersA = members_[a], membersB = members_[b];
    const double* repA = representative(a);
    const double* repB = representative(b);
    double* centroid = centroids_.data() + (j - n_) * m_;
    for (std::size_t c = 0; c < m_; ++c) {
      centroid[c] = (membersA * repA[c] + membersB * repB[c]) / (membersA + membersB);
    }
    members_[j] = members_[a] + members_[b];
  }

 private:
  const double* representative(Node node) const {
    return node < n_ ? points_ + node * m_ : centroids_.data() + (node - n_) * m_;
  }

  const double* points_;
  std::size_t n_;
  std::size_t m_;
  // First: the largest buffer fails before any other is filled.
  std::vector<double> centroids_;
  std::vector<std::int32_t> members_;
};

// Active nodes in increasing order; a removed node has successor 0.
class ActiveList {
 public:
  explicit ActiveList(std::size_t n)
      : end_(static_cast<Node>(2 * n - 1)), succ_(allocate<Node>(2 * n)), pred_(allocate<Node>(2 * n)) {
    for (Node i = 0; i < n; ++i) {
      succ_[i] = i + 1;
      pred_[i + 1] = i;
    }
    succ_[n - 1] = end_;
    pred_[end_] = static_cast<Node>(n - 1);
  }

  Node start() const { return start_; }
  Node end() const { return end_; }
  Node next(Node node) const { return succ_[node]; }
  bool isActive(Node node) const { return succ_[node] != 0; }

  void remove(Node node) {
    if (node == start_) {
      start_ = succ_[node];
    } else {
      succ_[pred_[node]] = succ_[node];
    }
    pred_[succ_[node]] = pred_[node];
    succ_[node] = 0;
  }

  // REQUIRES: node is above every active node and the list is not empty.
  void append(Node node) {
    const Node last = pred_[end_];
    succ_[last] = node;
    pred_[node] = last;
    succ_[node] = end_;
    pred_[end_] = node;
  }

 private:
  Node start_ = 0;
  Node end_;
  std::vector<Node> succ_;
  std::vector<Node> pred_;
};

// Indexed binary min-heap of nodes keyed by their entry in `keys`. Its sifting rules decide
// which of equally distant pairs merges first.
class BinaryMinHeap {
 public:
  // Holds nodes 1 ... count, heapified.
  BinaryMinHeap(const std::vector<double>& keys, std::size_t count)
      : keys_(keys), nodeAt_(allocate<Node>(count)), positionOf_(allocate<Node>(keys.size())), size_(count) {
    for (std::size_t p = 0; p < count; ++p) {
      nodeAt_[p] = static_cast<Node>(p + 1);
      positionOf_[p + 1] = static_cast<Node>(p);
    }
    for (std::size_t p = count / 2; p-- > 0;) siftDown(p);
  }

  Node top() const { return nodeAt_[0]; }

  // Restores the order after the key of `node` grew.
  void keyGrew(Node node) { siftDown(positionOf_[node]); }

  void remove(Node node) {
    const std::size_t position = positionOf_[node];
    --size_;
    if (position == size_) return;
    const Node last = nodeAt_[size_];
    place(last, position);
    if (keys_[last] <= keys_[node]) {
      siftUp(position);
    } else {
      siftDown(position);
    }
  }

  // Gives the position of `from` to `to`, keyed by its own entry.
  void replace(Node from, Node to) {
    const std::size_t position = positionOf_[from];
    place(to, position);
    if (keys_[to] <= keys_[from]) {
      siftUp(position);
    } else {
      siftDown(position);
    }
  }

 private:
  double key(std::size_t position) const { return keys_[nodeAt_[position]]; }

  void place(Node node, std::size_t position) {
    nodeAt_[position] = node;
    positionOf_[node] = static_cast<Node>(position);
  }

  void swap(std::size_t p, std::size_t q) {
    const Node atP = nodeAt_[p];
    place(nodeAt_[q], p);
    place(atP, q);
  }

  void siftUp(std::size_t position) {
    while (position > 0) {
      const std::size_t parent = (position - 1) / 2;
      if (!(key(position) < key(parent))) return;
      swap(position, parent);
      position = parent;
    }
  }

  void siftDown(std::size_t position) {
    while (true) {
      const std::size_t left = 2 * position + 1;
      if (left >= size_) return;
      const std::size_t right = left + 1;
      std::size_t target;
      if (!(key(left) < key(position))) {
        if (right < size_ && key(right) < key(position)) {
          target = right;
        } else {
          return;
        }
      } else {
        target = (right < size_ && key(right) < key(left)) ? right : left;
      }
      swap(position, target);
      position = target;
    }
  }

  const std::vector<double>& keys_;
  std::vector<Node> nodeAt_;
  std::vector<Node> positionOf_;
  std::size_t size_;
};

struct Merge {
  Node a;
  Node b;
  double squaredDistance;
};

// The closest active node below `node`, walking the list from its start; a later node replaces an
// earlier one only when strictly closer.
void findCandidate(Node node, const ActiveList& active, const CentroidDissimilarity& distance,
                   std::vector<Node>& nn, std::vector<double>& mindist) {
  Node best = active.start();
  double bestDistance = distance(node, best);
  for (Node k = active.next(best); k != active.end() && k < node; k = active.next(k)) {
    const double d = distance(node, k);
    if (d < bestDistance) {
      bestDistance = d;
      best = k;
    }
  }
  nn[node] = best;
  mindist[node] = bestDistance;
}

std::vector<Merge> centroidLinkage(const double* points, std::size_t n, std::size_t m) {
  CentroidDissimilarity distance(points, n, m);
  ActiveList active(n);
  auto nn = allocate<Node>(2 * n - 2);
  auto mindist = allocate<double>(2 * n - 2);
  for (Node i = 1; i < n; ++i) findCandidate(i, active, distance, nn, mindist);
  BinaryMinHeap heap(mindist, n - 1);

  std::vector<Merge> merges;
  merges.reserve(n - 1);
  for (std::size_t step = 0; step + 1 < n; ++step) {
    const Node j = static_cast<Node>(n + step);
    Node a = heap.top();
    // Candidates are lower bounds: one whose neighbour has merged away is refreshed and requeued.
    while (!active.isActive(nn[a])) {
      findCandidate(a, active, distance, nn, mindist);
      heap.keyGrew(a);
      a = heap.top();
    }
    const Node b = nn[a];
    active.remove(a);
    active.remove(b);
    merges.push_back({a, b, mindist[a]});
    if (step + 2 == n) break;

    distance.merge(a, b, j);
    findCandidate(j, active, distance, nn, mindist);
    active.append(j);
    heap.remove(std::max(active.start(), b));
    heap.replace(a, j);
  }
  return merges;
}

void writeLinkage(const std::vector<Merge>& merges, std::size_t n, double* output) {
  const auto size = [&](Node node) { return node < n ? 1.0 : output[(node - n) * 4 + 3]; };
  for (std::size_t i = 0; i < merges.size(); ++i) {
    const Merge& merge = merges[i];
    double* row = output + i * 4;
    row[0] = std::min(merge.a, merge.b);
    row[1] = std::max(merge.a, merge.b);
    row[2] = std::sqrt(merge.squaredDistance);
    row[3] = size(merge.a) + size(merge.b);
  }
}

}  // namespace

std::int32_t fastcluster_compute_centroid_linkage(const double* points, std::size_t n, std::size_t m,
                                                  double* output, std::size_t outputLength) {
  if (points == nullptr || output == nullptr) return 1;
  if (n == 0) return 0;
  if (m == 0) return 1;
  if (n >= kLimit || m >= kLimit) return 2;
  if (outputLength < 4 * n - 4) return 3;
  if (n == 1) return 0;
  try {
    writeLinkage(centroidLinkage(points, n, m), n, output);
    return 0;
  } catch (const std::bad_alloc&) {
    return 4;
  } catch (const std::exception&) {
    return 5;
  } catch (...) {
    return 255;
  }
}
