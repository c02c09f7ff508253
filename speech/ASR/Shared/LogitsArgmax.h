#pragma once

#include <vector>

namespace platform {
class MLMultiArray;
}

// Reading the logits a model returns as a multi-array of shape [batch, frames, vocabulary]: the best
// token per frame for greedy decoding, and the first rows as plain arrays. Both read batch entry 0,
// row t from element t × strides[1] and its values every strides[2] elements. Float32 logits are
// read in place; float16 logits are converted once, for exactly the rows read; float64 and int32
// logits are read as what they are. Pure functions; safe from any thread while nobody writes the
// array.
//
//   std::vector<int> ids = LogitsArgmax::argmaxPerFrame(*logits, validFrames);
namespace tesselaudio::LogitsArgmax {

// The token id of the largest value of each of the first `frames` frames (the lowest id among equal
// maxima; 0 for frames without values). `frames` beyond the array's frame count reads only the
// frames it has; 0 reads nothing.
// Throws platform::InvalidArgumentError for a negative `frames` or an array of rank below 3.
std::vector<int> argmaxPerFrame(const platform::MLMultiArray& logits, int frames);

// The first min(`count`, frames in the array) rows, each with one value per vocabulary entry, as
// floats; none for a count of 0 or below.
// Throws platform::InvalidArgumentError for an array of rank below 3.
std::vector<std::vector<float>> leadingRows(const platform::MLMultiArray& logits, int count);

}  // namespace tesselaudio::LogitsArgmax
