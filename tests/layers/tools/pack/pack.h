#pragma once
#include "tools/inspect/report.h"
#include "LzmaEnc.h"
#include <csignal>
#include <signal.h>
#include <windows.h>
