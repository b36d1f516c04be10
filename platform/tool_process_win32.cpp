// Child processes for the tools over win32 (see tool_host.h).
#include "platform/tool_host.h"
#include "platform/tool_host_internal.h"
