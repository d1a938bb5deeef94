// The one process-wide state.
#include "core/core.h"

MonitorState mon;

void reset_state() { mon = MonitorState{}; }
