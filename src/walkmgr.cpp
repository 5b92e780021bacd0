#include "walkmgr.h"
