#include "app/Model/Clipboard.h"

namespace veltovoice {

Clipboard::~Clipboard() = default;

}  // namespace veltovoice
