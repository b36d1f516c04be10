#pragma once
#include <windows.h>
#include <unistd.h>
#include "Sha256.h"
