#include "cache/held.h"
#include "launcher/build_config.h"
#include <nlohmann/json.hpp>
