#include "speech/Enhancement/LocalVQE/LocalVqeVariant.h"

#include <array>

namespace tesselaudio {
namespace {

constexpr std::array<LocalVqeVariant, 2> kAllCases = {LocalVqeVariant::v13, LocalVqeVariant::v12};

}  // namespace

std::span<const LocalVqeVariant> LocalVqeVariant::allCases() { return kAllCases; }

std::string_view LocalVqeVariant::rawValue() const { return value_ == v13 ? "v1.3" : "v1.2"; }

}  // namespace tesselaudio
