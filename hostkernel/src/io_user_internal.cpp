// The user-mode side: handles over file objects, and the I/O manager's
// handling of a process's requests (buffers by transfer method, the copy
// back in the caller's thread, waiting for a pended request).
#include "io_user_internal.h"

#include <cstring>
#include <map>

namespace hkio {
namespace user {
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

} // namespace

HANDLE NewHandle(PFILE_OBJECT File)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    HANDLE handle = reinterpret_cast<HANDLE>(Table().Next);
    Table().Next += 4;
    Table().Files[handle] = File;
    return handle;
}

PFILE_OBJECT TakeHandle(HANDLE Handle)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    auto found = Table().Files.find(Handle);
    if (found == Table().Files.end()) {
        return nullptr;
    }
    PFILE_OBJECT file = found->second;
    Table().Files.erase(found);
    return file;
}

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

} // namespace user

void ResetUserHandles()
{
    std::lock_guard<std::mutex> guard(user::Table().Lock);
    user::Table().Files.clear();
    user::Table().Next = 0x100;
}

} // namespace hkio
