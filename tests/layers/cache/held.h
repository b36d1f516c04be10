// A cache header the layers below must not reach.
#pragma once
#include "archive/reader.h"
#include <cstdint>
