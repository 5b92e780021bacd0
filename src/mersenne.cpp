#include "mersenne.h"

void CRandomMersenne::RandomInit(int) {}
int CRandomMersenne::IRandomX(int min, int) { return min; }
void CRandomMersenne::Regenerate() { next = 0; }
