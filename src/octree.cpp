#include "octree.h"
