#include "mersenne.h"
