// The tool host over win32 (see tool_host.h).
#include "platform/tool_host.h"
