// The tool host over posix (see tool_host.h).
#include "platform/tool_host.h"
