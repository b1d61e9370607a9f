// Test-facing API: see hostkernel.h.
#pragma once

#include <ntddk.h>
