// Test API of the user-mode side: a process's opens, closes and requests.
#include "io_user_internal.h"

#include <cstring>

using namespace hkio;
using namespace hkio::user;

NTSTATUS HkOpen(const char* Name, HANDLE* Handle)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkOpen");
    PFILE_OBJECT file;
    const NTSTATUS status = OpenFile(Widen(Name), false, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Handle = NewHandle(file);
    return status;
}

NTSTATUS HkClose(HANDLE Handle)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkClose");
    PFILE_OBJECT file = TakeHandle(Handle);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    // The I/O manager does not look at what the cleanup and the close return.
    CleanupFile(file);
    ObfDereferenceObject(file);
    return STATUS_SUCCESS;
}

PFILE_OBJECT HkFileObjectOf(HANDLE Handle)
{
    return FileOf(Handle);
}

HkIoResult HkDeviceIoControl(HANDLE Handle, ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength)
{
    auto buffers = std::make_shared<UserBuffers>();
    buffers->Input.assign(Input.begin(), Input.end());
    buffers->Output.assign(OutputLength, 0);
    const auto inputLength = static_cast<ULONG>(Input.size());
    return Send(Handle, IRP_MJ_DEVICE_CONTROL, buffers, [&](PIRP Irp, PIO_STACK_LOCATION Location, PDEVICE_OBJECT) {
        Location->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
        Location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        Location->Parameters.DeviceIoControl.IoControlCode = Code;
        PVOID input = buffers->Input.empty() ? nullptr : buffers->Input.data();
        PVOID output = buffers->Output.empty() ? nullptr : buffers->Output.data();
        switch (Code & 3) {
        case METHOD_BUFFERED:
            SetSystemBuffer(Irp, *buffers, std::max(inputLength, OutputLength));
            if (inputLength != 0) {
                std::memcpy(buffers->System.data(), input, inputLength);
            }
            buffers->CopyBack = true;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            // The output would be an MDL over the caller's buffer; here it is
            // handed as the buffer itself.
            SetSystemBuffer(Irp, *buffers, inputLength);
            if (inputLength != 0) {
                std::memcpy(buffers->System.data(), input, inputLength);
            }
            break;
        default:
            Location->Parameters.DeviceIoControl.Type3InputBuffer = input;
            break;
        }
        Irp->UserBuffer = output;
    });
}

HkIoResult HkRead(HANDLE Handle, ULONG Length, int64_t Offset)
{
    auto buffers = std::make_shared<UserBuffers>();
    buffers->Output.assign(Length, 0);
    return Send(Handle, IRP_MJ_READ, buffers, [&](PIRP Irp, PIO_STACK_LOCATION Location, PDEVICE_OBJECT Top) {
        Location->Parameters.Read.Length = Length;
        Location->Parameters.Read.ByteOffset.QuadPart = Offset;
        if (Top->Flags & DO_BUFFERED_IO) {
            SetSystemBuffer(Irp, *buffers, Length);
            buffers->CopyBack = true;
        }
        Irp->UserBuffer = buffers->Output.empty() ? nullptr : buffers->Output.data();
    });
}

HkIoResult HkWrite(HANDLE Handle, const std::vector<uint8_t>& Data, int64_t Offset)
{
    auto buffers = std::make_shared<UserBuffers>();
    buffers->Input.assign(Data.begin(), Data.end());
    const auto length = static_cast<ULONG>(Data.size());
    return Send(Handle, IRP_MJ_WRITE, buffers, [&](PIRP Irp, PIO_STACK_LOCATION Location, PDEVICE_OBJECT Top) {
        Location->Parameters.Write.Length = length;
        Location->Parameters.Write.ByteOffset.QuadPart = Offset;
        if (Top->Flags & DO_BUFFERED_IO) {
            SetSystemBuffer(Irp, *buffers, length);
            if (length != 0) {
                std::memcpy(buffers->System.data(), buffers->Input.data(), length);
            }
        }
        Irp->UserBuffer = buffers->Input.empty() ? nullptr : buffers->Input.data();
    });
}

HkIoResult HkQueryInformation(HANDLE Handle, ULONG InformationClass, ULONG Length)
{
    auto buffers = std::make_shared<UserBuffers>();
    buffers->Output.assign(Length, 0);
    return Send(Handle, IRP_MJ_QUERY_INFORMATION, buffers, [&](PIRP Irp, PIO_STACK_LOCATION Location, PDEVICE_OBJECT) {
        Location->Parameters.QueryFile.Length = Length;
        Location->Parameters.QueryFile.FileInformationClass = InformationClass;
        SetSystemBuffer(Irp, *buffers, Length);
        buffers->CopyBack = true;
    });
}
