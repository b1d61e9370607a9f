// Minimal fault plan; the executive work replaces this file.
#include "internal.h"

bool HkShouldFailAllocation(const char*, const void*)
{
    return false;
}
