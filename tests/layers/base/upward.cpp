// Includes up a layer, an OS header, the SDK and an intrinsic outside the CRC kernels.
#include "base/text.h"
#include "cache/held.h"
#include <sys/stat.h>
#include "7zCrc.h"
  #  include <immintrin.h>
