/* Compiled, never run: the public header is valid C. */
#include "brivant.h"

int16_t (*const brivant_open_as_c)(int16_t) = Brivant_Device_Open;
