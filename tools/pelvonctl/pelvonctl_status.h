// Status names for the replies of the touch driver. The driver completes
// requests with an NTSTATUS; on Windows DeviceIoControl hands user mode only
// the Win32 error the system maps it to, so the tool keeps the map both ways.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelvonctl {

struct StatusMapping {
    std::uint32_t NtStatus;
    const char* NtName;
    std::uint32_t Win32Error;
    const char* Win32Name;
};

// Every status the driver (and the I/O manager on its behalf) completes a
// control request with, plus success.
const std::vector<StatusMapping>& KnownStatuses();

std::optional<StatusMapping> FindNtStatus(std::uint32_t ntStatus);

// All statuses that map to the Win32 error, in table order; several may.
std::vector<StatusMapping> FindWin32Error(std::uint32_t win32Error);

// "STATUS_BUFFER_TOO_SMALL (0xC0000023), Win32 error 122 ERROR_INSUFFICIENT_BUFFER"
std::string DescribeNtStatus(std::uint32_t ntStatus);

// "Win32 error 5 ERROR_ACCESS_DENIED (from STATUS_ACCESS_DENIED 0xC0000022 or STATUS_DELETE_PENDING 0xC0000056)"
std::string DescribeWin32Error(std::uint32_t win32Error);

// NTSTATUS severity bits 31..30 = 11: an error. Warnings and information
// statuses count as completed requests, like NT_SUCCESS ignores only errors.
inline bool NtStatusIsError(std::uint32_t ntStatus)
{
    return (ntStatus & 0xC0000000u) == 0xC0000000u;
}

} // namespace pelvonctl
