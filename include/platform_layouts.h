// Compile-time pins of the records this driver exchanges with other drivers,
// measured once on the i686 and x86_64 cross compilers against the real DDK
// headers. Records without pointers must match byte for byte in every build;
// records with pointers are pinned to the x86 values whenever pointers are
// 4 bytes, and to the x64 values in the 64-bit Windows test build.
#pragma once

#include <ntddk.h>
#include <ntddmou.h>
#include <ntddser.h>
#include <kbdmou.h>

#define PIN_SIZE(type, size) static_assert(sizeof(type) == (size), "size of " #type)
#define PIN_OFFSET(type, member, offset) \
    static_assert(__builtin_offsetof(type, member) == (offset), "offset of " #type "." #member)

PIN_SIZE(MOUSE_INPUT_DATA, 24);
PIN_OFFSET(MOUSE_INPUT_DATA, UnitId, 0);
PIN_OFFSET(MOUSE_INPUT_DATA, Flags, 2);
PIN_OFFSET(MOUSE_INPUT_DATA, Buttons, 4);
PIN_OFFSET(MOUSE_INPUT_DATA, ButtonFlags, 4);
PIN_OFFSET(MOUSE_INPUT_DATA, ButtonData, 6);
PIN_OFFSET(MOUSE_INPUT_DATA, RawButtons, 8);
PIN_OFFSET(MOUSE_INPUT_DATA, LastX, 12);
PIN_OFFSET(MOUSE_INPUT_DATA, LastY, 16);
PIN_OFFSET(MOUSE_INPUT_DATA, ExtraInformation, 20);

PIN_SIZE(MOUSE_ATTRIBUTES, 12);
PIN_OFFSET(MOUSE_ATTRIBUTES, MouseIdentifier, 0);
PIN_OFFSET(MOUSE_ATTRIBUTES, NumberOfButtons, 2);
PIN_OFFSET(MOUSE_ATTRIBUTES, SampleRate, 4);
PIN_OFFSET(MOUSE_ATTRIBUTES, InputDataQueueLength, 8);

PIN_SIZE(CONNECT_DATA, 2 * sizeof(void*));
PIN_OFFSET(CONNECT_DATA, ClassDeviceObject, 0);
PIN_OFFSET(CONNECT_DATA, ClassService, sizeof(void*));
static_assert(sizeof(void*) != 4 || sizeof(CONNECT_DATA) == 8, "x86 size of CONNECT_DATA");

PIN_SIZE(SERIAL_BAUD_RATE, 4);
PIN_SIZE(SERIAL_LINE_CONTROL, 3);
PIN_OFFSET(SERIAL_LINE_CONTROL, StopBits, 0);
PIN_OFFSET(SERIAL_LINE_CONTROL, Parity, 1);
PIN_OFFSET(SERIAL_LINE_CONTROL, WordLength, 2);
PIN_SIZE(SERIAL_TIMEOUTS, 20);
PIN_OFFSET(SERIAL_TIMEOUTS, ReadIntervalTimeout, 0);
PIN_OFFSET(SERIAL_TIMEOUTS, ReadTotalTimeoutMultiplier, 4);
PIN_OFFSET(SERIAL_TIMEOUTS, ReadTotalTimeoutConstant, 8);
PIN_OFFSET(SERIAL_TIMEOUTS, WriteTotalTimeoutMultiplier, 12);
PIN_OFFSET(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant, 16);
PIN_SIZE(SERIAL_HANDFLOW, 16);
PIN_OFFSET(SERIAL_HANDFLOW, ControlHandShake, 0);
PIN_OFFSET(SERIAL_HANDFLOW, FlowReplace, 4);
PIN_OFFSET(SERIAL_HANDFLOW, XonLimit, 8);
PIN_OFFSET(SERIAL_HANDFLOW, XoffLimit, 12);
PIN_SIZE(SERIAL_BASIC_SETTINGS, 44);
PIN_OFFSET(SERIAL_BASIC_SETTINGS, Timeouts, 0);
PIN_OFFSET(SERIAL_BASIC_SETTINGS, HandFlow, 20);
PIN_OFFSET(SERIAL_BASIC_SETTINGS, RxFifo, 36);
PIN_OFFSET(SERIAL_BASIC_SETTINGS, TxFifo, 40);

PIN_SIZE(LARGE_INTEGER, 8);
PIN_SIZE(WCHAR, 2);
static_assert(sizeof(void*) != 4 || sizeof(IO_REMOVE_LOCK) == 24, "x86 free-build size of IO_REMOVE_LOCK");
static_assert(sizeof(void*) != 4 || sizeof(KTIMER) == 40, "x86 size of KTIMER");
static_assert(sizeof(void*) != 4 || sizeof(KDPC) == 32, "x86 size of KDPC");
static_assert(sizeof(void*) != 4 || sizeof(RTL_QUERY_REGISTRY_TABLE) == 28, "x86 size of RTL_QUERY_REGISTRY_TABLE");
static_assert(sizeof(void*) != 4 || sizeof(IO_STATUS_BLOCK) == 8, "x86 size of IO_STATUS_BLOCK");
PIN_OFFSET(KEY_VALUE_FULL_INFORMATION, Name, 20);

#if defined(_WIN64) // the 64-bit Windows test build; the host build has its own headers
PIN_SIZE(CONNECT_DATA, 16);
PIN_SIZE(IO_REMOVE_LOCK, 32);
PIN_SIZE(KTIMER, 64);
PIN_OFFSET(KTIMER, Dpc, 48);
PIN_SIZE(KDPC, 64);
PIN_OFFSET(KDPC, DeferredRoutine, 24);
PIN_OFFSET(KDPC, DeferredContext, 32);
PIN_SIZE(RTL_QUERY_REGISTRY_TABLE, 56);
PIN_OFFSET(RTL_QUERY_REGISTRY_TABLE, EntryContext, 24);
PIN_SIZE(IO_STATUS_BLOCK, 16);
PIN_SIZE(UNICODE_STRING, 16);
PIN_OFFSET(UNICODE_STRING, Buffer, 8);
#endif

#undef PIN_SIZE
#undef PIN_OFFSET
