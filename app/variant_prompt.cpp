#include "include/variant.h"

const bool kSilentBuild = false;
