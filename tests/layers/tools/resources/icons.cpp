#include <stb_image.h>
#include "tools/pack/pack.h"
