#include "speech/MachTaskSelfWrapper/CurrentTaskPort.h"

#include <unistd.h>

namespace tesselaudio {

int get_current_task_port() { return static_cast<int>(::getpid()); }

}  // namespace tesselaudio
