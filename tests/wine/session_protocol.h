// What the Wine session's test drivers and its runner exchange: the byte
// script the test serial port plays, the control codes of the three test
// control devices, and the records they hand back. Self-contained, like
// touch_control.h: kernel test drivers and the Win32 runner include it.
// Every record is made of 32-bit and 8-bit fields only, so it has one
// layout on x86 and x64.
#pragma once

#define SESSION_CONTROL_CODE(Function) ((0x22u << 16) | ((unsigned)(Function) << 2)) // FILE_DEVICE_UNKNOWN, buffered

// ---- the test serial port: \\.\PelvonTestSerial
// Loads the script named by its Parameters "ScriptFile" and starts playing
// it to the port the touch driver has open.
#define IOCTL_SESSION_PLAY SESSION_CONTROL_CODE(0x900)
// Pends until the script reaches a command (output: SESSION_STOP) or ends.
#define IOCTL_SESSION_NEXT_STOP SESSION_CONTROL_CODE(0x901)
// Goes on after a command.
#define IOCTL_SESSION_RESUME SESSION_CONTROL_CODE(0x902)
// Output: SESSION_SERIAL_LOG_HEADER, then Count SESSION_SERIAL_REQUEST.
#define IOCTL_SESSION_SERIAL_LOG SESSION_CONTROL_CODE(0x903)

// ---- the test mouse class: \\.\PelvonTestClass
// Output: a count, then that many SESSION_REPORT in delivery order.
#define IOCTL_SESSION_REPORTS SESSION_CONTROL_CODE(0x910)

// ---- the stand-ins: \\.\PelvonStandIns
// Output: SESSION_STANDIN_LOG_HEADER, then Count SESSION_PORT_WRITE.
#define IOCTL_SESSION_STANDIN_LOG SESSION_CONTROL_CODE(0x920)

// ---- the byte script, as the runner writes it for the test serial port
#define SESSION_SCRIPT_MAGIC 0x31535650u // "PVS1"
#define SESSION_EVENT_BYTE 0
#define SESSION_EVENT_FAIL_PENDING_READ 1 // the read pending then completes with Status
#define SESSION_EVENT_FAIL_READ_IN_SEND 2 // the next read sent fails inside its send
#define SESSION_EVENT_COMMAND 3           // Value: the command's number
#define SESSION_EVENT_END 4               // the trailing silence is in Gap

typedef struct _SESSION_SCRIPT_HEADER {
    unsigned int Magic;
    unsigned int Count;
} SESSION_SCRIPT_HEADER;

typedef struct _SESSION_EVENT {
    unsigned int Kind;
    unsigned int Value;   // the byte, the NTSTATUS or the command's number
    unsigned int GapLow;  // silence before the event, 100-ns units
    unsigned int GapHigh;
} SESSION_EVENT;

#define SESSION_STOP_COMMAND 1
#define SESSION_STOP_END 2

typedef struct _SESSION_STOP {
    unsigned int Kind;    // SESSION_STOP_COMMAND or SESSION_STOP_END
    unsigned int Command; // the command's number
} SESSION_STOP;

// ---- records handed back
#define SESSION_BUFFER_BYTES 48

typedef struct _SESSION_SERIAL_REQUEST {
    unsigned int Major;        // IRP_MJ_...
    unsigned int Code;         // the control code; 0 for create, cleanup and close
    unsigned int Port;         // 0 for COM1 ...
    unsigned int Status;       // what the port completed it with
    unsigned int InputLength;
    unsigned int OutputLength;
    unsigned int Information;
    unsigned char Input[SESSION_BUFFER_BYTES];  // the first bytes of each
    unsigned char Output[SESSION_BUFFER_BYTES];
} SESSION_SERIAL_REQUEST;

typedef struct _SESSION_SERIAL_LOG_HEADER {
    unsigned int Count;             // requests that follow (reads are counted, not listed)
    unsigned int Dropped;           // requests beyond the log's room
    unsigned int Reads;
    unsigned int ReadsCompletedInSend;
    unsigned int ReadsPended;
    unsigned int ReadsFailedInSend; // by a !! fault
    unsigned int ReadsFailedPending; // by a ! fault
    unsigned int ReadsCancelled;
    unsigned int CompletedFromDpc;
    unsigned int CompletedFromThread;
    unsigned int FaultsUnused;      // faults no read took
    unsigned int BytesDelivered;
    unsigned int BytesLeftUnread;   // still buffered, or purged
    unsigned int LateMicroseconds;  // worst lateness of an event against its due time
    unsigned int ReadsAtCleanup;    // reads still out when the file was cleaned up
    unsigned int RepliesToCallerBuffer; // buffered replies written to the caller's buffer (Wine gave no system buffer)
} SESSION_SERIAL_LOG_HEADER;

typedef struct _SESSION_REPORT {
    unsigned int Flags;
    unsigned int ButtonFlags;
    unsigned int RawButtons;
    int LastX;
    int LastY;
} SESSION_REPORT;

typedef struct _SESSION_PORT_WRITE {
    unsigned int Port;
    unsigned int Value;
    unsigned int Milliseconds; // since the stand-ins were installed
} SESSION_PORT_WRITE;

typedef struct _SESSION_STANDIN_LOG_HEADER {
    unsigned int Count;          // port writes that follow
    unsigned int Dropped;
    unsigned int Opens;          // IoGetDeviceObjectPointer calls answered
    unsigned int OpensRefused;
    unsigned int Dereferences;   // of the file objects it handed out
    unsigned int OtherDereferences; // passed on to the kernel's routine
    unsigned int PortReads;
    unsigned int Patched;        // import entries rewritten
    unsigned int OpenFiles;      // file objects handed out and not yet let go
    unsigned int Enumerations;   // RtlQueryRegistryValues tables answered here
} SESSION_STANDIN_LOG_HEADER;

// The record at the start of each test port's device extension, so that the
// stand-in IoGetDeviceObjectPointer can find a port by its device name.
#define SESSION_PORT_MAGIC 0x54505650u // "PVPT"
#define SESSION_PORT_NAME_CHARACTERS 40

typedef struct _SESSION_PORT_IDENTITY {
    unsigned int Magic;
    unsigned int Index;
    unsigned short Name[SESSION_PORT_NAME_CHARACTERS]; // "\Device\PelvonTestSerial0", NUL-terminated
} SESSION_PORT_IDENTITY;

#define SESSION_PORT_COUNT 4 // COM1..COM4, as touchsim has them
