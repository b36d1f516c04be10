#include "tools/host/host.h"
#include "tools/toolkit_version.h"
#include <nlohmann/json.hpp>
#include "tools/pack/pack.h"
#include "unistd.h"
