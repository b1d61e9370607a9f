// A driver image compiled and linked as pelvon.sys is, holding instructions
// that no i586 executes (and kernel code must not use), one per function, so
// that the binary check can be seen to name each one. Never loaded.
#include <wdm.h>

#define PELVON_PLANT(name, instruction) \
    extern "C" __attribute__((naked)) void name() { asm(instruction "\n\tret"); }

PELVON_PLANT(PlantedCmov, "cmovne %edx, %eax")
PELVON_PLANT(PlantedFcmov, "fcmove %st(1), %st")
PELVON_PLANT(PlantedX87, "fld1")
PELVON_PLANT(PlantedMmx, "movq %mm0, %mm1")
PELVON_PLANT(PlantedSse, "movaps %xmm0, %xmm1")
PELVON_PLANT(PlantedFence, "sfence")
PELVON_PLANT(PlantedLongNop, "nopl 0(%eax)")
PELVON_PLANT(PlantedSysenter, "sysenter")
// All of these exist on an i586 and must pass.
PELVON_PLANT(PlantedPentium, "cpuid\n\trdtsc\n\tcmpxchg8b (%esi)\n\tbswap %eax\n\tpause\n\tud2")

extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart != 0 ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED;
}
