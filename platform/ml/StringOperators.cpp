// Kernels on string tensors: StringNormalizer.

#include <algorithm>
#include <set>

#include "platform/ml/KernelSupport.h"
#include "platform/text/CaseMapping.h"

namespace platform::ml {
namespace {

// Drops stop words from a [C] or [1, C] tensor and changes case; an input left empty becomes one
// empty string.
void stringNormalizerKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  if (x.type() != ElementType::string) c.fail("needs a string tensor");
  if (!(x.rank() == 1 || (x.rank() == 2 && x.shape()[0] == 1))) c.fail(fmt::format("takes [C] or [1, C], not {}", shapeText(x.shape())));
  const std::string action = c.node.stringAttribute("case_change_action", "NONE");
  const bool caseSensitive = c.node.intAttribute("is_case_sensitive", 0) != 0;
  const std::string locale = c.node.stringAttribute("locale", "");
  if (action != "NONE" && action != "LOWER" && action != "UPPER") c.fail(fmt::format("has unknown case_change_action \"{}\"", action));
  std::set<std::string> stopwords;
  auto it = c.node.attributes.find("stopwords");
  if (it != c.node.attributes.end()) {
    for (const auto& word : it->second.strings) stopwords.insert(caseSensitive ? word : text::toLowerCase(word, locale));
  }
  std::vector<std::string> kept;
  for (int64_t i = 0; i < x.count(); ++i) {
    const std::string& word = x.data<std::string>()[i];
    if (stopwords.count(caseSensitive ? word : text::toLowerCase(word, locale))) continue;
    if (action == "LOWER") kept.push_back(text::toLowerCase(word, locale));
    else if (action == "UPPER") kept.push_back(text::toUpperCase(word, locale));
    else kept.push_back(word);
  }
  if (kept.empty()) kept.emplace_back();
  const int64_t count = static_cast<int64_t>(kept.size());
  Tensor y(ElementType::string, x.rank() == 1 ? Shape{count} : Shape{1, count});
  std::move(kept.begin(), kept.end(), y.data<std::string>());
  c.outputs[0] = std::move(y);
}

}  // namespace

void addStringOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"StringNormalizer", {stringNormalizerKernel, false, false, nullptr, true}},
  });
}

}  // namespace platform::ml
