#include "hxsim.h"
void hxsim_reset(void) {}
