#include <stb_image.h>
#include "tools/inspect/pe_layout.h"
#include "tools/pack/pack.h"
