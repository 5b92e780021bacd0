#include "layers.h"
