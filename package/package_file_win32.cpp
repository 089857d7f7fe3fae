#include "package/package_file.h"

#include <windows.h>

#include <string>

#include "log/file_path_win32.h"

namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// The reasons in the words the POSIX build uses, so both command lines say the same.
std::string OpenFailureText(const std::wstring& path, DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return "No such file or directory";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return "The file is in use by another program";
    case ERROR_ACCESS_DENIED: {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return "Is a directory";
        return "Permission denied";
    }
    default: return "Windows error " + std::to_string(error);
    }
}

} // namespace

PackageFile::~PackageFile() { close(); }

bool PackageFile::open(const char* path, Sharing sharing)
{
    close();
    failure_.clear();
    missing_ = false;
    if (path == nullptr || *path == '\0') {
        failure_ = "No such file or directory";
        missing_ = true;
        return false;
    }
    std::wstring system_path;
    if (!SystemPathFromUtf8(path, &system_path)) {
        failure_ = "The path is not valid UTF-8 text";
        return false;
    }
    const DWORD share = sharing == Sharing::exclusive ? 0 : FILE_SHARE_READ;
    const DWORD attributes = sharing == Sharing::exclusive ? FILE_ATTRIBUTE_NORMAL : 0;
    HANDLE h =
        CreateFileW(system_path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A name too long to open is not proof that nothing is there.
        missing_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        failure_ = OpenFailureText(system_path, error);
        return false;
    }
    // Devices and pipes are not packages; their "size" means nothing.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        failure_ = "Not a regular file";
        CloseHandle(h);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

void PackageFile::close()
{
    if (handle_ == kClosed)
        return;
    CloseHandle(AsHandle(handle_));
    handle_ = kClosed;
}

bool PackageFile::size(std::uint64_t* bytes) const
{
    if (handle_ == kClosed || bytes == nullptr)
        return false;
    DWORD high = 0;
    SetLastError(NO_ERROR); // a size of 0xFFFFFFFF is only a failure if the call says so
    const DWORD low = GetFileSize(AsHandle(handle_), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    *bytes = (static_cast<std::uint64_t>(high) << 32) | low;
    return true;
}

std::uint32_t PackageFile::read(void* buffer, std::uint32_t count)
{
    if (handle_ == kClosed || buffer == nullptr)
        return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD got = 0;
        if (!ReadFile(AsHandle(handle_), out + done, count - done, &got, nullptr)) {
            failure_ = "Windows error " + std::to_string(GetLastError());
            break;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}
