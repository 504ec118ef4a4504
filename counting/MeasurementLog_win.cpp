#include "MeasurementLog.h"
#include "SystemMessage.h"

#include <windows.h>

namespace counting {

namespace {

AppendResult Failed(const char *call, DWORD error)
{
    // The reason goes in brackets inside the notice: without its full stop.
    std::string reason = common::SystemMessage(error);
    while (!reason.empty() && reason.back() == '.')
        reason.pop_back();
    if (reason.empty())
        reason = "error " + std::to_string(error);
    return {false, std::string(call) + ": " + reason};
}

} // namespace

AppendResult AppendDurably(const std::string &path, const std::string &text)
{
    // FILE_APPEND_DATA alone makes every write land at the end of the file.
    // Other programs may read the log meanwhile, but not write it.
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Failed("CreateFileA", ::GetLastError());
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (!ok || written != text.size()) {
        const DWORD error = ok ? ERROR_DISK_FULL : ::GetLastError();
        // NTFS reserves the clusters before it writes, so a full disk fails
        // the call whole; an append-only handle could not cut a torn tail anyway.
        ::CloseHandle(file);
        return Failed("WriteFile", error);
    }
    if (!::FlushFileBuffers(file)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(file);
        return Failed("FlushFileBuffers", error);
    }
    ::CloseHandle(file);
    return {true, {}};
}

} // namespace counting
