#pragma once
#include "cache/held.h"
#include <sys/wait.h>
#include "windows.h"
