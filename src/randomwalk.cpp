#include "randomwalk.h"
