// Read-only access to a package file. One implementation of the operating-system calls per
// platform sits behind this header.
#pragma once

#include <cstdint>
#include <string>

class PackageFile {
public:
    enum class Sharing {
        readers_allowed, // validation: other readers may hold the file too
        exclusive,       // upload: nobody else may open the file while it is being sent
    };

    PackageFile() = default;
    ~PackageFile();
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    // Existing regular files only. False when the file is missing, is not a regular file, or
    // is held by another opener in a way that the sharing mode refuses.
    bool open(const char* path, Sharing sharing);
    void close();
    bool is_open() const { return handle_ != kClosed; }
    // Why the last open or read failed, in the system's words ("No such file or directory");
    // empty while nothing failed.
    const std::string& failure() const { return failure_; }
    // True when the last open failed because nothing is at the path (as opposed to something that
    // is there but cannot be opened).
    bool missing() const { return missing_; }

    // The whole size (not cut to 32 bits), so that a huge file is never taken for a small one.
    bool size(std::uint64_t* bytes) const;

    // Reads until count bytes have arrived, the file ends or the system fails; the number of
    // bytes read is returned, so a short count is the caller's failure to judge.
    std::uint32_t read(void* buffer, std::uint32_t count);

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
    std::string failure_;
    bool missing_ = false;
};
