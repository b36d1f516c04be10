#include "platform/platform.h"
#include "tools/host/host.h"
