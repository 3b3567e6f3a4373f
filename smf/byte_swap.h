// Conversion of the file's big-endian numbers on this little-endian host.
#pragma once

#include <cstdint>

// Reverses the four low bytes of *word in place; the upper 32 bits become 0.
void SwapLong(uint64_t* word);
// Exchanges the two bytes of *value in place and returns the result.
uint16_t SwapShort(uint16_t* value);
