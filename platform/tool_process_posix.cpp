// Child processes for the tools over posix (see tool_host.h).
#include "platform/tool_host.h"
#include "platform/tool_host_internal.h"
