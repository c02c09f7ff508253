#pragma once

namespace platform {

// The priority a caller asks for asynchronous work, in the order of the platform's task
// priorities. Work runners of this system keep it with the work; threads are not re-prioritised.
enum class TaskPriority { background, utility, low = utility, medium, userInitiated, high = userInitiated };

}  // namespace platform
