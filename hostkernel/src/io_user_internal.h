// What the user-mode files share: handles over file objects and the I/O
// manager's sending of a process's request.
#pragma once

#include "io_internal.h"

namespace hkio::user {

// The memory of one request: the system buffer the I/O manager allocates
// and the caller's own input and output buffers.
struct UserBuffers {
    std::vector<unsigned char> System;
    std::vector<unsigned char> Input;
    std::vector<unsigned char> Output;
    bool CopyBack = false; // buffered output: System -> Output at the top
};

HANDLE NewHandle(PFILE_OBJECT File);
// The handle's file, NULL when the handle is not open.
PFILE_OBJECT FileOf(HANDLE Handle);
// Closes the handle; returns its file, NULL when it was not open.
PFILE_OBJECT TakeHandle(HANDLE Handle);
// Gives the request a system buffer of at least Bytes (none for 0).
void SetSystemBuffer(PIRP Irp, UserBuffers& Buffers, size_t Bytes);
// Sends Major on the handle's file from user mode and waits for it; Fill
// sets up the request's location and buffers.
HkIoResult Send(HANDLE Handle, UCHAR Major, const std::shared_ptr<UserBuffers>& Buffers,
                const std::function<void(PIRP, PIO_STACK_LOCATION, PDEVICE_OBJECT)>& Fill);

} // namespace hkio::user
