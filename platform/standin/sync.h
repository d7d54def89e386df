// Stand-in synchronization: SRW locks on pthread mutexes, and real event
// objects that the service's stop event runs on.
#pragma once

#include "platform/platform.h"

namespace standin {

// Whether an open event handle is set; false for any other handle.
bool IsEventSet(HANDLE event);

}  // namespace standin
