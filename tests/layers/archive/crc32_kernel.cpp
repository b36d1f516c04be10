#include "archive/reader.h"
#include <immintrin.h>
#include <cpuid.h>
