#pragma once

namespace tesselaudio {

// A handle for the calling process, for code that asks the system about "its own task". Linux
// has no task ports; the process id stands in for one. Never fails.
int get_current_task_port();

}  // namespace tesselaudio
