#include "pelvonctl_status.h"

#include <cstdio>

namespace pelvonctl {

const std::vector<StatusMapping>& KnownStatuses()
{
    // The Win32 column is what the system's status translation yields, which
    // is all a Win32 caller of DeviceIoControl ever sees.
    static const std::vector<StatusMapping> table = {
        {0x00000000u, "STATUS_SUCCESS", 0, "ERROR_SUCCESS"},
        {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST", 1, "ERROR_INVALID_FUNCTION"},
        {0xC0000023u, "STATUS_BUFFER_TOO_SMALL", 122, "ERROR_INSUFFICIENT_BUFFER"},
        {0xC000000Du, "STATUS_INVALID_PARAMETER", 87, "ERROR_INVALID_PARAMETER"},
        {0xC0000225u, "STATUS_NOT_FOUND", 1168, "ERROR_NOT_FOUND"},
        {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES", 1450, "ERROR_NO_SYSTEM_RESOURCES"},
        {0xC0000001u, "STATUS_UNSUCCESSFUL", 31, "ERROR_GEN_FAILURE"},
        {0xC0000022u, "STATUS_ACCESS_DENIED", 5, "ERROR_ACCESS_DENIED"},
        {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND", 2, "ERROR_FILE_NOT_FOUND"},
        {0xC00002B6u, "STATUS_DEVICE_REMOVED", 1617, "ERROR_DEVICE_REMOVED"},
        {0xC0000056u, "STATUS_DELETE_PENDING", 5, "ERROR_ACCESS_DENIED"},
        {0xC0000120u, "STATUS_CANCELLED", 995, "ERROR_OPERATION_ABORTED"},
        {0xC00000BBu, "STATUS_NOT_SUPPORTED", 50, "ERROR_NOT_SUPPORTED"},
        {0xC0000185u, "STATUS_IO_DEVICE_ERROR", 1117, "ERROR_IO_DEVICE"},
        {0x80000005u, "STATUS_BUFFER_OVERFLOW", 234, "ERROR_MORE_DATA"},
    };
    return table;
}

std::optional<StatusMapping> FindNtStatus(std::uint32_t ntStatus)
{
    for (const StatusMapping& m : KnownStatuses()) {
        if (m.NtStatus == ntStatus) {
            return m;
        }
    }
    return std::nullopt;
}

std::vector<StatusMapping> FindWin32Error(std::uint32_t win32Error)
{
    std::vector<StatusMapping> found;
    for (const StatusMapping& m : KnownStatuses()) {
        if (m.Win32Error == win32Error) {
            found.push_back(m);
        }
    }
    return found;
}

static std::string Hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string DescribeNtStatus(std::uint32_t ntStatus)
{
    const auto m = FindNtStatus(ntStatus);
    if (!m) {
        return "NTSTATUS " + Hex32(ntStatus);
    }
    return std::string(m->NtName) + " (" + Hex32(ntStatus) + "), Win32 error " + std::to_string(m->Win32Error) + " " +
           m->Win32Name;
}

std::string DescribeWin32Error(std::uint32_t win32Error)
{
    const auto found = FindWin32Error(win32Error);
    std::string text = "Win32 error " + std::to_string(win32Error);
    if (found.empty()) {
        return text;
    }
    text += std::string(" ") + found.front().Win32Name + " (from ";
    for (std::size_t i = 0; i < found.size(); i++) {
        text += (i == 0 ? "" : " or ");
        text += std::string(found[i].NtName) + " " + Hex32(found[i].NtStatus);
    }
    return text + ")";
}

} // namespace pelvonctl
