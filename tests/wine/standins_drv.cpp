// What Wine's kernel lacks for the touch driver's data path, stood in for in
// the Wine session, and nothing else. A test driver, never shipped; Wine
// only.
//
// - IoGetDeviceObjectPointer. Wine 8 stubs it: it returns a dummy device
//   with no dispatch routines and no file object, so the touch driver could
//   reach no port. The stand-in finds the test serial port by its device
//   name, opens it as the kernel does (a file object, IRP_MJ_CREATE to the
//   port) and returns the port and that file object.
// - ObfDereferenceObject, its partner: for a file object the stand-in handed
//   out, the last reference goes, so the port gets IRP_MJ_CLEANUP and
//   IRP_MJ_CLOSE as it would from the kernel. Any other object goes on to
//   Wine's own routine.
// - RtlQueryRegistryValues, for one shape of table only: a single entry with
//   no Name, which asks for every value of a key. Windows hands the query
//   routine each value's name; Wine 8 hands it the entry's Name, NULL, and
//   the touch driver's port lookup (SERIALCOMM) reads through it as soon as
//   a port matches. Such tables are answered from ZwEnumerateValueKey; every
//   other table, the driver's settings among them, goes to Wine's routine.
// - KeSetTimer and KeCancelTimer (below, with the reason): Wine 8's hang the
//   driver host when the speaker timer's routine sets its timer again.
// - The speaker's port accesses, to record the click. On x86 they are the
//   HAL's READ_PORT_UCHAR and WRITE_PORT_UCHAR, stubs in Wine; on x64 they
//   are in and out instructions inline in the driver, which Wine's
//   privileged-instruction emulation does not cover, so a vectored
//   exception handler emulates exactly those, and only inside the touch
//   driver's image. Either way ports read back the last value written,
//   port 0x61 starting at 0x30, as the host build's stand-in has them.
//
// All but the x64 port instructions are import entries of pelvon.sys, rewritten in place once
// both drivers are loaded in the same driver host (same service group): the
// touch driver is found through ObReferenceObjectByName("\Driver\pelvon"),
// its import directory walked from DriverStart. The image on disk is
// untouched.
#include <ntddk.h>
#include <ntimage.h>

#include "session_protocol.h"

extern "C" NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                           PACCESS_STATE AccessState, ACCESS_MASK DesiredAccess,
                                                           POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                           PVOID ParseContext, PVOID* Object);

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_DISPATCH DispatchControl;
static DRIVER_UNLOAD DriverUnload;
static IO_COMPLETION_ROUTINE SignalDone;

#define TEST_POOL_TAG 0x69535650u // "PVSi"
#define WRITE_CAPACITY 16384
#define FILE_CAPACITY 8
#define SPEAKER_GATE_INITIAL 0x30

typedef NTSTATUS NTAPI GET_DEVICE_OBJECT_POINTER(PUNICODE_STRING, ACCESS_MASK, PFILE_OBJECT*, PDEVICE_OBJECT*);
typedef LONG_PTR FASTCALL DEREFERENCE_OBJECT(PVOID);
typedef UCHAR NTAPI READ_PORT(PUCHAR);
typedef VOID NTAPI WRITE_PORT(PUCHAR, UCHAR);
typedef NTSTATUS NTAPI QUERY_REGISTRY_VALUES(ULONG, PCWSTR, PRTL_QUERY_REGISTRY_TABLE, PVOID, PVOID);

struct STANDIN_STATE {
    KSPIN_LOCK Lock;
    SESSION_STANDIN_LOG_HEADER Counters;
    SESSION_PORT_WRITE* Writes;
    UCHAR PortValues[0x100];
    LONGLONG Installed;
    PFILE_OBJECT Files[FILE_CAPACITY];
    DEREFERENCE_OBJECT* KernelDereference;
    QUERY_REGISTRY_VALUES* KernelQueryRegistryValues;
    PDEVICE_OBJECT Control;
    PUCHAR ImageStart; // the touch driver's image
    PUCHAR ImageEnd;
    PVOID ExceptionHandler;
};

static STANDIN_STATE State;

static const WCHAR SerialDriverName[] = L"\\Driver\\serport_test";
static const WCHAR TouchDriverName[] = L"\\Driver\\pelvon";

// ---------------------------------------------------------------- opening the test port

// Any IRQL: hands the request back to the sender.
static NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL: one create, cleanup or close for the file object, waited for.
static NTSTATUS SendFileRequest(PDEVICE_OBJECT Device, PFILE_OBJECT File, UCHAR Major)
{
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->Tail.Overlay.OriginalFileObject = File;
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->FileObject = File;
    IoSetCompletionRoutine(irp, SignalDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// The test port whose device name is Name, or NULL.
static PDEVICE_OBJECT FindTestPort(PUNICODE_STRING Name)
{
    UNICODE_STRING driverName;
    RtlInitUnicodeString(&driverName, SerialDriverName);
    PDRIVER_OBJECT driver = NULL;
    if (!NT_SUCCESS(ObReferenceObjectByName(&driverName, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL,
                                            (PVOID*)&driver))) {
        return NULL;
    }
    PDEVICE_OBJECT found = NULL;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != NULL && found == NULL; device = device->NextDevice) {
        const SESSION_PORT_IDENTITY* identity = (const SESSION_PORT_IDENTITY*)device->DeviceExtension;
        if (identity == NULL || device->DeviceType != FILE_DEVICE_SERIAL_PORT || identity->Magic != SESSION_PORT_MAGIC) {
            continue;
        }
        UNICODE_STRING portName;
        RtlInitUnicodeString(&portName, (PCWSTR)identity->Name);
        if (RtlEqualUnicodeString(&portName, Name, TRUE)) {
            found = device;
        }
    }
    ObDereferenceObject(driver);
    return found;
}

static BOOLEAN KeepFile(PFILE_OBJECT File)
{
    KIRQL irql;
    KeAcquireSpinLock(&State.Lock, &irql);
    for (ULONG i = 0; i < FILE_CAPACITY; i++) {
        if (State.Files[i] == NULL) {
            State.Files[i] = File;
            State.Counters.OpenFiles++;
            KeReleaseSpinLock(&State.Lock, irql);
            return TRUE;
        }
    }
    KeReleaseSpinLock(&State.Lock, irql);
    return FALSE;
}

static BOOLEAN ForgetFile(PVOID Object)
{
    KIRQL irql;
    KeAcquireSpinLock(&State.Lock, &irql);
    for (ULONG i = 0; i < FILE_CAPACITY; i++) {
        if (State.Files[i] != NULL && State.Files[i] == Object) {
            State.Files[i] = NULL;
            State.Counters.OpenFiles--;
            KeReleaseSpinLock(&State.Lock, irql);
            return TRUE;
        }
    }
    KeReleaseSpinLock(&State.Lock, irql);
    return FALSE;
}

// The touch driver, PASSIVE_LEVEL, in place of IoGetDeviceObjectPointer.
static NTSTATUS NTAPI StandInGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                    PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    PDEVICE_OBJECT port = FindTestPort(ObjectName);
    if (port == NULL) {
        InterlockedIncrement((LONG*)&State.Counters.OpensRefused);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PFILE_OBJECT file = (PFILE_OBJECT)ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), TEST_POOL_TAG);
    if (file == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(file, sizeof(*file));
    file->Type = 5; // IO_TYPE_FILE
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = port;
    const NTSTATUS status = SendFileRequest(port, file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status) || !KeepFile(file)) {
        InterlockedIncrement((LONG*)&State.Counters.OpensRefused);
        ExFreePool(file);
        return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    InterlockedIncrement((LONG*)&State.Counters.Opens);
    *FileObject = file;
    *DeviceObject = port; // nothing is attached above a test port
    return STATUS_SUCCESS;
}

// The touch driver, up to DISPATCH_LEVEL, in place of ObfDereferenceObject.
static LONG_PTR FASTCALL StandInDereferenceObject(PVOID Object)
{
    if (!ForgetFile(Object)) {
        InterlockedIncrement((LONG*)&State.Counters.OtherDereferences);
        return State.KernelDereference(Object);
    }
    PFILE_OBJECT file = (PFILE_OBJECT)Object;
    SendFileRequest(file->DeviceObject, file, IRP_MJ_CLEANUP);
    SendFileRequest(file->DeviceObject, file, IRP_MJ_CLOSE);
    InterlockedIncrement((LONG*)&State.Counters.Dereferences);
    ExFreePool(file);
    return 0;
}

// ---------------------------------------------------------------- enumerating a key's values

// The touch driver, PASSIVE_LEVEL, in place of RtlQueryRegistryValues. A
// table whose only entry has no Name asks for every value of the key, and
// Windows hands the query routine each value's name; Wine's passes the
// entry's Name, NULL, and the driver's port lookup would read through it. So
// that one shape of table is answered here, from ZwEnumerateValueKey, the
// data as stored (no expansion); every other table goes to Wine's routine.
static NTSTATUS NTAPI StandInQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE Table,
                                                 PVOID Context, PVOID Environment)
{
    const BOOLEAN enumeration = Table[0].QueryRoutine != NULL && Table[0].Name == NULL &&
                                (Table[0].Flags & (RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_SUBKEY |
                                                   RTL_QUERY_REGISTRY_TOPKEY)) == 0 &&
                                Table[1].QueryRoutine == NULL && Table[1].Name == NULL;
    const ULONG relative = RelativeTo & ~(ULONG)RTL_REGISTRY_OPTIONAL;
    if (!enumeration || (relative != RTL_REGISTRY_ABSOLUTE && relative != RTL_REGISTRY_DEVICEMAP)) {
        return State.KernelQueryRegistryValues(RelativeTo, Path, Table, Context, Environment);
    }
    InterlockedIncrement((LONG*)&State.Counters.Enumerations);
    WCHAR fullPath[320] = L"\\Registry\\Machine\\Hardware\\DeviceMap\\";
    UNICODE_STRING keyName;
    keyName.Buffer = fullPath;
    keyName.Length = 0;
    keyName.MaximumLength = sizeof(fullPath);
    while (relative == RTL_REGISTRY_DEVICEMAP && fullPath[keyName.Length / sizeof(WCHAR)] != 0) {
        keyName.Length += sizeof(WCHAR);
    }
    UNICODE_STRING pathString;
    RtlInitUnicodeString(&pathString, Path);
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(&keyName, &pathString))) {
        return STATUS_INVALID_PARAMETER;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG bufferBytes = 4096;
    PKEY_VALUE_FULL_INFORMATION value =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, bufferBytes + sizeof(WCHAR), TEST_POOL_TAG);
    status = value == NULL ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    for (ULONG index = 0; NT_SUCCESS(status); index++) {
        ULONG length = 0;
        if (!NT_SUCCESS(ZwEnumerateValueKey(key, index, KeyValueFullInformation, value, bufferBytes, &length))) {
            break;
        }
        // The name, NUL-terminated in place: it ends where the data begins
        // or where the record ends.
        WCHAR name[256];
        const ULONG nameCharacters = value->NameLength / sizeof(WCHAR) < 255 ? value->NameLength / sizeof(WCHAR) : 255;
        RtlCopyMemory(name, value->Name, nameCharacters * sizeof(WCHAR));
        name[nameCharacters] = 0;
        status = Table[0].QueryRoutine(name, value->Type, (PUCHAR)value + value->DataOffset, value->DataLength, Context,
                                       Table[0].EntryContext);
    }
    if (value != NULL) {
        ExFreePool(value);
    }
    ZwClose(key);
    return status;
}

// ---------------------------------------------------------------- timers

// The touch driver, up to DISPATCH_LEVEL, in place of KeSetTimer and
// KeCancelTimer. Wine 8 runs a timer's DPC from a thread-pool timer, and its
// KeSetTimer, finding the timer still marked as set (it is never unmarked
// once it fires), waits for the pool timer's callbacks while holding the
// lock that a finishing callback takes: re-setting a timer from its own DPC,
// as the speaker timer's routine does, or while that DPC is finishing, hangs
// the driver host; and KeCancelTimer reports an expired timer as cancelled.
// Here, as on the platform, a timer is set until it fires or is cancelled,
// cancelling never waits for the DPC, and setting from the DPC is allowed.
// The DPCs run on one thread of this driver, in order of due time.
#define TIMER_CAPACITY 8

struct TIMER_SLOT {
    PKTIMER Timer;
    PKDPC Dpc;
    LONGLONG Due; // system time
    BOOLEAN Set;
};

struct TIMER_STATE {
    KSPIN_LOCK Lock;
    TIMER_SLOT Slots[TIMER_CAPACITY];
    KEVENT Wake;
    BOOLEAN Stop;
    PVOID Thread;
};

static TIMER_STATE Timers;

static LONGLONG SystemTime()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

static TIMER_SLOT* SlotOf(PKTIMER Timer, BOOLEAN Create)
{
    TIMER_SLOT* free = NULL;
    for (ULONG i = 0; i < TIMER_CAPACITY; i++) {
        if (Timers.Slots[i].Timer == Timer) {
            return &Timers.Slots[i];
        }
        if (free == NULL && Timers.Slots[i].Timer == NULL) {
            free = &Timers.Slots[i];
        }
    }
    if (Create && free != NULL) {
        free->Timer = Timer;
    }
    return Create ? free : NULL;
}

static BOOLEAN NTAPI StandInSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    const LONGLONG due = DueTime.QuadPart < 0 ? SystemTime() - DueTime.QuadPart : DueTime.QuadPart;
    KIRQL irql;
    KeAcquireSpinLock(&Timers.Lock, &irql);
    TIMER_SLOT* slot = SlotOf(Timer, TRUE);
    BOOLEAN wasSet = FALSE;
    if (slot != NULL) {
        wasSet = slot->Set;
        slot->Dpc = Dpc;
        slot->Due = due;
        slot->Set = TRUE;
    }
    KeReleaseSpinLock(&Timers.Lock, irql);
    KeSetEvent(&Timers.Wake, IO_NO_INCREMENT, FALSE);
    return wasSet;
}

static BOOLEAN NTAPI StandInCancelTimer(PKTIMER Timer)
{
    KIRQL irql;
    KeAcquireSpinLock(&Timers.Lock, &irql);
    TIMER_SLOT* slot = SlotOf(Timer, FALSE);
    const BOOLEAN wasSet = slot != NULL && slot->Set;
    if (slot != NULL) {
        slot->Set = FALSE;
    }
    KeReleaseSpinLock(&Timers.Lock, irql);
    return wasSet;
}

// System thread: fires each timer at its due time and runs its DPC.
static VOID NTAPI TimerThread(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    while (!Timers.Stop) {
        KIRQL irql;
        KeAcquireSpinLock(&Timers.Lock, &irql);
        TIMER_SLOT* next = NULL;
        for (ULONG i = 0; i < TIMER_CAPACITY; i++) {
            if (Timers.Slots[i].Set && (next == NULL || Timers.Slots[i].Due < next->Due)) {
                next = &Timers.Slots[i];
            }
        }
        const LONGLONG now = SystemTime();
        if (next != NULL && next->Due <= now) {
            next->Set = FALSE;
            PKDPC dpc = next->Dpc;
            KeReleaseSpinLock(&Timers.Lock, irql);
            if (dpc != NULL) {
                dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
            }
            continue;
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = next != NULL ? -(next->Due - now) : -10000000;
        KeReleaseSpinLock(&Timers.Lock, irql);
        KeWaitForSingleObject(&Timers.Wake, Executive, KernelMode, FALSE, &timeout);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS StartTimerThread()
{
    KeInitializeSpinLock(&Timers.Lock);
    KeInitializeEvent(&Timers.Wake, SynchronizationEvent, FALSE);
    HANDLE thread = NULL;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TimerThread, NULL);
    if (NT_SUCCESS(status)) {
        ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &Timers.Thread, NULL);
        ZwClose(thread);
    }
    return status;
}

static VOID StopTimerThread()
{
    if (Timers.Thread != NULL) {
        Timers.Stop = TRUE;
        KeSetEvent(&Timers.Wake, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(Timers.Thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(Timers.Thread);
        Timers.Thread = NULL;
    }
}

// ---------------------------------------------------------------- the speaker's ports

static UCHAR ReadPortValue(ULONG Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&State.Lock, &irql);
    State.Counters.PortReads++;
    const UCHAR value = State.PortValues[Port & 0xFF];
    KeReleaseSpinLock(&State.Lock, irql);
    return value;
}

static VOID WritePortValue(ULONG Port, UCHAR Value)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KIRQL irql;
    KeAcquireSpinLock(&State.Lock, &irql);
    State.PortValues[Port & 0xFF] = Value;
    if (State.Counters.Count < WRITE_CAPACITY) {
        SESSION_PORT_WRITE* write = &State.Writes[State.Counters.Count++];
        write->Port = Port;
        write->Value = Value;
        write->Milliseconds = (ULONG)(now.QuadPart - State.Installed) / 10000; // sessions last far less than 429 s
    } else {
        State.Counters.Dropped++;
    }
    KeReleaseSpinLock(&State.Lock, irql);
}

static UCHAR NTAPI StandInReadPort(PUCHAR Port)
{
    return ReadPortValue((ULONG)(ULONG_PTR)Port);
}

static VOID NTAPI StandInWritePort(PUCHAR Port, UCHAR Value)
{
    WritePortValue((ULONG)(ULONG_PTR)Port, Value);
}

#if defined(_AMD64_)
extern "C" NTSYSAPI PVOID NTAPI RtlPcToFileHeader(PVOID PcValue, PVOID* BaseOfImage);
extern "C" PVOID __imp_RtlPcToFileHeader; // the import entry: the routine itself, not a local thunk
typedef PVOID NTAPI ADD_VECTORED_HANDLER(ULONG First, PVOID Handler);
typedef ULONG NTAPI REMOVE_VECTORED_HANDLER(PVOID Handle);

#define PRIVILEGED_INSTRUCTION ((NTSTATUS)0xC0000096L)

static BOOLEAN SameName(const char* A, const char* B)
{
    ULONG k = 0;
    while (A[k] != 0 && A[k] == B[k]) {
        k++;
    }
    return A[k] == B[k];
}

// A routine the image at Image exports, or takes from another module.
static PVOID RoutineOf(PUCHAR Image, const char* Name)
{
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(Image + ((const IMAGE_DOS_HEADER*)Image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* exportDirectory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (exportDirectory->VirtualAddress != 0) {
        const IMAGE_EXPORT_DIRECTORY* exports = (const IMAGE_EXPORT_DIRECTORY*)(Image + exportDirectory->VirtualAddress);
        const ULONG* names = (const ULONG*)(Image + exports->AddressOfNames);
        const USHORT* ordinals = (const USHORT*)(Image + exports->AddressOfNameOrdinals);
        const ULONG* functions = (const ULONG*)(Image + exports->AddressOfFunctions);
        for (ULONG i = 0; i < exports->NumberOfNames; i++) {
            const ULONG address = functions[ordinals[i]];
            const BOOLEAN forwarded = address >= exportDirectory->VirtualAddress &&
                                      address < exportDirectory->VirtualAddress + exportDirectory->Size;
            if (!forwarded && SameName((const char*)(Image + names[i]), Name)) {
                return Image + address;
            }
        }
    }
    const IMAGE_DATA_DIRECTORY* importDirectory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* module = (const IMAGE_IMPORT_DESCRIPTOR*)(Image + importDirectory->VirtualAddress);
         importDirectory->VirtualAddress != 0 && module->Name != 0; module++) {
        const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(Image + module->OriginalFirstThunk);
        const IMAGE_THUNK_DATA* addresses = (const IMAGE_THUNK_DATA*)(Image + module->FirstThunk);
        for (; module->OriginalFirstThunk != 0 && names->u1.AddressOfData != 0; names++, addresses++) {
            if ((names->u1.Ordinal & IMAGE_ORDINAL_FLAG) == 0 &&
                SameName((const char*)((const IMAGE_IMPORT_BY_NAME*)(Image + names->u1.AddressOfData))->Name, Name)) {
                return (PVOID)addresses->u1.Function;
            }
        }
    }
    return NULL;
}

// A driver importing anything but ntoskrnl and HAL does not start under
// Wine, so the vectored-handler routines are taken from the kernel's own
// image, which has them from ntdll.
static PVOID KernelRoutine(const char* Name)
{
    PVOID base = NULL;
    if (RtlPcToFileHeader(__imp_RtlPcToFileHeader, &base) == NULL || base == NULL) {
        return NULL;
    }
    return RoutineOf((PUCHAR)base, Name);
}

// The faulting thread, on a privileged instruction: in and out of a byte,
// inside the touch driver's image only (in al,imm8 E4; out imm8,al E6;
// in al,dx EC; out dx,al EE). Everything else is left to the next handler.
static LONG NTAPI EmulatePortInstruction(PEXCEPTION_POINTERS Pointers)
{
    PCONTEXT context = Pointers->ContextRecord;
    const PUCHAR at = (PUCHAR)context->Rip;
    if (Pointers->ExceptionRecord->ExceptionCode != PRIVILEGED_INSTRUCTION || at < State.ImageStart ||
        at >= State.ImageEnd) {
        return 0; // EXCEPTION_CONTINUE_SEARCH
    }
    switch (at[0]) {
    case 0xE4: context->Rax = (context->Rax & ~(ULONG64)0xFF) | ReadPortValue(at[1]); context->Rip += 2; break;
    case 0xE6: WritePortValue(at[1], (UCHAR)context->Rax); context->Rip += 2; break;
    case 0xEC: context->Rax = (context->Rax & ~(ULONG64)0xFF) | ReadPortValue((ULONG)(context->Rdx & 0xFFFF)); context->Rip += 1; break;
    case 0xEE: WritePortValue((ULONG)(context->Rdx & 0xFFFF), (UCHAR)context->Rax); context->Rip += 1; break;
    default: return 0;
    }
    return -1; // EXCEPTION_CONTINUE_EXECUTION
}
#endif

// ---------------------------------------------------------------- rewriting the imports

static BOOLEAN SameAscii(const char* A, const char* B)
{
    for (;; A++, B++) {
        char a = *A >= 'A' && *A <= 'Z' ? (char)(*A - 'A' + 'a') : *A;
        char b = *B >= 'A' && *B <= 'Z' ? (char)(*B - 'A' + 'a') : *B;
        if (a != b) {
            return FALSE;
        }
        if (a == 0) {
            return TRUE;
        }
    }
}

struct REPLACEMENT {
    const char* Module;
    const char* Name;
    PVOID Routine;
    PVOID* Original; // where the kernel's routine is kept, if needed
};

// Rewrites the import address table entries of the image at Base named in
// Replacements; returns how many.
static ULONG RewriteImports(PUCHAR Base, const REPLACEMENT* Replacements, ULONG Count)
{
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)Base;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(Base + dos->e_lfanew);
    State.ImageStart = Base;
    State.ImageEnd = Base + nt->OptionalHeader.SizeOfImage;
    const IMAGE_DATA_DIRECTORY* directory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ULONG rewritten = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR* module = (const IMAGE_IMPORT_DESCRIPTOR*)(Base + directory->VirtualAddress);
         directory->VirtualAddress != 0 && module->Name != 0; module++) {
        const char* moduleName = (const char*)(Base + module->Name);
        const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(Base + module->OriginalFirstThunk);
        IMAGE_THUNK_DATA* addresses = (IMAGE_THUNK_DATA*)(Base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, addresses++) {
            if ((names->u1.Ordinal & IMAGE_ORDINAL_FLAG) != 0) {
                continue;
            }
            const IMAGE_IMPORT_BY_NAME* import = (const IMAGE_IMPORT_BY_NAME*)(Base + names->u1.AddressOfData);
            for (ULONG i = 0; i < Count; i++) {
                if (SameAscii(moduleName, Replacements[i].Module) &&
                    SameAscii((const char*)import->Name, Replacements[i].Name)) {
                    if (Replacements[i].Original != NULL) {
                        *Replacements[i].Original = (PVOID)addresses->u1.Function;
                    }
                    addresses->u1.Function = (ULONG_PTR)Replacements[i].Routine;
                    rewritten++;
                }
            }
        }
    }
    return rewritten;
}

// What went wrong at start, for whoever reads the service key: Wine shows
// only the mapped error.
static VOID NoteFailure(PUNICODE_STRING RegistryPath, PCWSTR Step, NTSTATUS Status)
{
    WCHAR path[256];
    const ULONG bytes = RegistryPath->Length < sizeof(path) - 2 ? RegistryPath->Length : sizeof(path) - 2;
    RtlCopyMemory(path, RegistryPath->Buffer, bytes);
    path[bytes / 2] = 0;
    ULONG value = (ULONG)Status;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, Step, REG_DWORD, &value, sizeof(value));
}

static NTSTATUS StandInForTouchDriver(PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TouchDriverName);
    PDRIVER_OBJECT touch = NULL;
    NTSTATUS status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL,
                                              (PVOID*)&touch);
    if (!NT_SUCCESS(status)) {
        NoteFailure(RegistryPath, L"FindTouchDriverStatus", status);
        return status;
    }
    const REPLACEMENT replacements[] = {
        {"ntoskrnl.exe", "IoGetDeviceObjectPointer", (PVOID)StandInGetDeviceObjectPointer, NULL},
        {"ntoskrnl.exe", "ObfDereferenceObject", (PVOID)StandInDereferenceObject, (PVOID*)&State.KernelDereference},
        {"ntoskrnl.exe", "RtlQueryRegistryValues", (PVOID)StandInQueryRegistryValues,
         (PVOID*)&State.KernelQueryRegistryValues},
        {"ntoskrnl.exe", "KeSetTimer", (PVOID)StandInSetTimer, NULL},
        {"ntoskrnl.exe", "KeCancelTimer", (PVOID)StandInCancelTimer, NULL},
        {"hal.dll", "READ_PORT_UCHAR", (PVOID)StandInReadPort, NULL},
        {"hal.dll", "WRITE_PORT_UCHAR", (PVOID)StandInWritePort, NULL},
    };
    State.Counters.Patched = RewriteImports((PUCHAR)touch->DriverStart, replacements,
                                            sizeof(replacements) / sizeof(replacements[0]));
    ObDereferenceObject(touch);
    NoteFailure(RegistryPath, L"ImportsRewritten", (NTSTATUS)State.Counters.Patched);
    if (State.KernelDereference == NULL || State.KernelQueryRegistryValues == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
#if defined(_AMD64_)
    ADD_VECTORED_HANDLER* add = (ADD_VECTORED_HANDLER*)KernelRoutine("RtlAddVectoredExceptionHandler");
    State.ExceptionHandler = add != NULL ? add(1, (PVOID)EmulatePortInstruction) : NULL;
    if (State.ExceptionHandler == NULL) {
        NoteFailure(RegistryPath, L"VectoredHandlerFound", add != NULL);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
#endif
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the runner's request

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SESSION_STANDIN_LOG) {
            KIRQL irql;
            KeAcquireSpinLock(&State.Lock, &irql);
            const ULONG bytes = sizeof(SESSION_STANDIN_LOG_HEADER) + State.Counters.Count * sizeof(SESSION_PORT_WRITE);
            status = STATUS_BUFFER_TOO_SMALL;
            if (stack->Parameters.DeviceIoControl.OutputBufferLength >= bytes) {
                PUCHAR out = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
                RtlCopyMemory(out, &State.Counters, sizeof(SESSION_STANDIN_LOG_HEADER));
                RtlCopyMemory(out + sizeof(SESSION_STANDIN_LOG_HEADER), State.Writes,
                              State.Counters.Count * sizeof(SESSION_PORT_WRITE));
                status = STATUS_SUCCESS;
                information = bytes;
            }
            KeReleaseSpinLock(&State.Lock, irql);
        }
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------- entry and unload

// I/O manager, PASSIVE_LEVEL, once pelvon.sys is loaded in this driver host.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    RtlZeroMemory(&State, sizeof(State));
    KeInitializeSpinLock(&State.Lock);
    for (ULONG i = 0; i < sizeof(State.PortValues); i++) {
        State.PortValues[i] = 0xFF;
    }
    State.PortValues[0x61] = SPEAKER_GATE_INITIAL;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    State.Installed = now.QuadPart;
    State.Writes = (SESSION_PORT_WRITE*)ExAllocatePoolWithTag(NonPagedPool, WRITE_CAPACITY * sizeof(SESSION_PORT_WRITE),
                                                              TEST_POOL_TAG);
    if (State.Writes == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = DispatchControl;
    }
    DriverObject->DriverUnload = DriverUnload;
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, L"\\Device\\PelvonStandIns");
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\PelvonStandIns");
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &State.Control);
    if (NT_SUCCESS(status)) {
        State.Control->Flags |= DO_BUFFERED_IO;
        State.Control->Flags &= ~DO_DEVICE_INITIALIZING;
        status = IoCreateSymbolicLink(&linkName, &deviceName);
    }
    if (NT_SUCCESS(status)) {
        status = StartTimerThread();
    }
    if (NT_SUCCESS(status)) {
        status = StandInForTouchDriver(RegistryPath);
    }
    if (!NT_SUCCESS(status)) {
        DriverUnload(DriverObject);
    }
    return status;
}

// I/O manager, PASSIVE_LEVEL. The touch driver keeps calling the stand-ins,
// so this driver is only unloaded with the driver host.
static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
#if defined(_AMD64_)
    REMOVE_VECTORED_HANDLER* remove = (REMOVE_VECTORED_HANDLER*)KernelRoutine("RtlRemoveVectoredExceptionHandler");
    if (State.ExceptionHandler != NULL && remove != NULL) {
        remove(State.ExceptionHandler);
        State.ExceptionHandler = NULL;
    }
#endif
    StopTimerThread();
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\PelvonStandIns");
    IoDeleteSymbolicLink(&linkName);
    if (State.Control != NULL) {
        IoDeleteDevice(State.Control);
        State.Control = NULL;
    }
    if (State.Writes != NULL) {
        ExFreePool(State.Writes);
        State.Writes = NULL;
    }
}
