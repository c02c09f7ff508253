#include "app/Model/DesktopServices.h"

namespace veltovoice {

DesktopServices::~DesktopServices() = default;

}  // namespace veltovoice
