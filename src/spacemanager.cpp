#include "spacemanager.h"
