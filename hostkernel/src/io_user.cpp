// The user-mode side: handles over file objects, and the I/O manager's
// handling of a process's requests (buffers by transfer method, the copy
// back in the caller's thread, waiting for a pended request).
#include "io_internal.h"

#include <cstring>
#include <map>

namespace hkio {
namespace {

struct Handles {
    std::mutex Lock;
    std::map<HANDLE, PFILE_OBJECT> Files;
    uintptr_t Next = 0x100;
};

Handles& Table()
{
    static Handles& handles = *new Handles; // never destroyed: outlives every thread and exit-time check
    return handles;
}

constexpr unsigned char UnwrittenBuffer = 0xCD; // system buffers are not zeroed

// The memory of one request: the system buffer the I/O manager allocates
// and the caller's own input and output buffers.
struct UserBuffers {
    std::vector<unsigned char> System;
    std::vector<unsigned char> Input;
    std::vector<unsigned char> Output;
    bool CopyBack = false; // buffered output: System -> Output at the top
};

PFILE_OBJECT FileOf(HANDLE Handle)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    auto found = Table().Files.find(Handle);
    return found == Table().Files.end() ? nullptr : found->second;
}

void SetSystemBuffer(PIRP Irp, UserBuffers& Buffers, size_t Bytes)
{
    if (Bytes == 0) {
        return;
    }
    Buffers.System.resize(std::max(Buffers.System.size(), Bytes), UnwrittenBuffer);
    Irp->AssociatedIrp.SystemBuffer = Buffers.System.data();
    Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
}

HkIoResult Send(HANDLE Handle, UCHAR Major, const std::shared_ptr<UserBuffers>& Buffers,
                const std::function<void(PIRP, PIO_STACK_LOCATION, PDEVICE_OBJECT)>& Fill)
{
    PFILE_OBJECT file = FileOf(Handle);
    if (file == nullptr) {
        return {STATUS_INVALID_HANDLE, 0, {}};
    }
    PDEVICE_OBJECT top = RelatedDevice(file);
    ManagerIrp request = MakeManagerIrp(top->StackSize, Major, 0, file, UserMode);
    Fill(request.Irp, IoGetNextIrpStackLocation(request.Irp), top);
    if (Buffers->CopyBack && !Buffers->Output.empty()) {
        request.Irp->Flags |= IRP_INPUT_OPERATION;
    }
    request.Request->AtTop = [Buffers, Major](PIRP Irp) {
        const ULONG_PTR information = Irp->IoStatus.Information;
        if (!Buffers->CopyBack || NT_ERROR(Irp->IoStatus.Status) || information == 0) {
            return;
        }
        if (information > Buffers->Output.size()) {
            HkBugCheck(HkStop::IoManagerViolation::InformationOverUserBuffer,
                       std::string(MajorName(Major)) + " from user mode came back with Information " +
                           std::to_string(information) + ", larger than its buffer of " +
                           std::to_string(Buffers->Output.size()) + " bytes");
        }
        std::memcpy(Buffers->Output.data(), Irp->AssociatedIrp.SystemBuffer, information);
    };
    HkIoResult result{};
    result.Status = SendManagerIrp(top, request);
    result.Information = request.Request->Final.Information;
    if (!NT_ERROR(result.Status)) {
        const size_t bytes = std::min<size_t>(result.Information, Buffers->Output.size());
        result.Output.assign(Buffers->Output.begin(), Buffers->Output.begin() + bytes);
    }
    return result;
}

} // namespace

void ResetUserHandles()
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    Table().Files.clear();
    Table().Next = 0x100;
}

} // namespace hkio

using namespace hkio;

NTSTATUS HkOpen(const char* Name, HANDLE* Handle)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkOpen");
    PFILE_OBJECT file;
    const NTSTATUS status = OpenFile(Widen(Name), false, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(Table().Lock);
    HANDLE handle = reinterpret_cast<HANDLE>(Table().Next);
    Table().Next += 4;
    Table().Files[handle] = file;
    *Handle = handle;
    return status;
}

NTSTATUS HkClose(HANDLE Handle)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkClose");
    PFILE_OBJECT file;
    {
        std::lock_guard<std::mutex> guard(Table().Lock);
        auto found = Table().Files.find(Handle);
        if (found == Table().Files.end()) {
            return STATUS_INVALID_HANDLE;
        }
        file = found->second;
        Table().Files.erase(found);
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
