#include "smf/byte_swap.h"

void SwapLong(uint64_t* word) {
    const uint64_t w = *word;
    *word = ((w & 0xFF) << 24) | ((w & 0xFF00) << 8) | ((w >> 8) & 0xFF00) | ((w >> 24) & 0xFF);
}

uint16_t SwapShort(uint16_t* value) {
    *value = static_cast<uint16_t>((*value << 8) | (*value >> 8));
    return *value;
}
