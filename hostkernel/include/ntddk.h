// Host stand-in for the platform's ntddk.h, which builds on wdm.h.
#pragma once
#include "wdm.h"
