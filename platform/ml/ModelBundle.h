#pragma once

// The model folders of this build.
//
// A compiled model is a folder `Name.mlmodelc/` holding:
//   coremldata.bin  marker the model cache looks for; its content is not read.
//   model.onnx      the network (ONNX protobuf); the default function.
//   metadata.json   optional, an object with these optional members:
//     "author", "description", "versionString", "license": texts.
//     "creatorDefined": object of text values (for example "config": a JSON text), read byte for byte;
//         entries here win over the ONNX file's metadata properties of the same key.
//     "states": list of state names. State "s" is fed as graph input "s"; graph output "s_out" is
//         stored back into the state after each prediction.
//     "functions": object mapping a function name to its ONNX file in the folder;
//     "defaultFunctionName": the function loaded when the configuration names none (else model.onnx).
//     "inputs": object mapping an input name to its accepted shapes, either
//         {"enumeratedShapes": [[1, 80, 100], [1, 80, 200]]} (the first is the declared shape) or
//         {"shapeRange": [[1, 1], [80, 80], [1, -1]]} (lower and upper bound per dimension, -1 = open).
//   *.bin / other   external-data weight files that model.onnx names, relative to the folder.
// A package `Name.mlpackage/` holds the same files; coremldata.bin is optional there.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/MLFeatureDescription.h"
#include "platform/ml/MLModelDescription.h"

namespace platform::ml {

struct ModelBundle {
  std::filesystem::path folder;
  MLModelMetadata metadata;  // from metadata.json only
  std::vector<std::string> states;
  std::map<std::string, std::string> functions;
  std::optional<std::string> defaultFunctionName;
  std::map<std::string, MLMultiArrayShapeConstraint> inputShapes;

  // Reads the folder's metadata.json (an absent file gives empty values). Throws MLModelError: io
  // when the folder is missing or unreadable, invalidModel when metadata.json does not parse or has
  // members of the wrong kind.
  static ModelBundle read(const std::filesystem::path& folder);

  // The ONNX file of the named function (or of the default one). Throws MLModelError:
  // unsupportedModelFormat when the folder has no model.onnx, invalidModel for an unknown function
  // or a missing function file.
  std::filesystem::path modelFile(const std::optional<std::string>& functionName) const;

  // Every ONNX file the bundle uses: model.onnx and each function's file, without repeats.
  std::vector<std::filesystem::path> modelFiles() const;
};

}  // namespace platform::ml
