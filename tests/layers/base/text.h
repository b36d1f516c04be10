#pragma once
#include "platform/platform.h"
#include <string>
#include <stdint.h>
