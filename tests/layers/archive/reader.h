#pragma once
#include "base/text.h"
#include "7z.h"
