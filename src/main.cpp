#include "log.h"

int main()
{
    Log::open();
    return 0;
}
