#include "package/upload.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "device/checksum.h"
#include "device/device_connection.h"
#include "device/device_lock.h"
#include "device/frames.h"
#include "device/result.h"
#include "log/log.h"
#include "package/upload_steps.h"

namespace {

constexpr std::uint8_t kBufferingFailed = 0x52;      // 'R'
constexpr std::uint8_t kDoubledCommandLetter = 'R';  // hardware that takes the command twice
constexpr std::uint32_t kUploadReadTimeoutMs = 6000; // the slowest answer of the exchange

class UploadSession {
public:
    UploadSession(DeviceConnection& connection, const ProgressCallback& callback)
        : connection_(connection), port_(connection.port), callback_(callback)
    {
    }

    // Reads and checks the file, then (when `examined` is given) makes sure it still holds the
    // bytes that validation passed.
    std::int32_t run(const char* path, const Sha256Digest* examined, bool* changed)
    {
        if (path == nullptr || *path == '\0')
            return KV_E_GENERAL_ERROR;
        if (const std::int32_t r = check_device(); r != KV_S_OK)
            return r;
        if (const std::int32_t loaded = LoadPackageForUpload(file_, path, &loaded_); loaded != KV_S_OK)
            return loaded;
        // The image is in memory now: holding the file any longer would only make the dialog
        // refuse the same package if the user picks it again while it is being sent.
        file_.close();
        if (examined != nullptr && PackageDigest(loaded_) != *examined) {
            if (changed != nullptr)
                *changed = true;
            return KV_E_INVALID_FIRMWARE_IMAGE;
        }
        return send(loaded_);
    }

    std::int32_t run(const LoadedPackage& package)
    {
        if (const std::int32_t r = check_device(); r != KV_S_OK)
            return r;
        if (const std::int32_t checked = CheckPackageForUpload(package); checked != KV_S_OK)
            return checked;
        return send(package);
    }

    // Runs on every way out, in this order: normal time-out, lock, end call, file and body.
    void finish()
    {
        if (port_.is_open())
            port_.set_read_timeout(frames::kReadTimeoutStandardMs);
        if (lock_)
            lock_->release();
        report(kProgressEnd);
        log_round_trips();
        file_.close();
        loaded_.body.reset();
    }

private:
    std::int32_t check_device()
    {
        if (connection_.hardware_info.protocol_generation != 1)
            return KV_E_REQUEST_NOT_SUPPORTED;
        if (!port_.is_open())
            return KV_E_PORT_NOT_INITIALIZED;
        return KV_S_OK;
    }

    std::int32_t send(const LoadedPackage& package)
    {
        progress_.total = package.body_size / kUploadChunkSize;
        report(kProgressBegin);

        lock_.emplace(connection_.device_lock());
        if (lock_->busy())
            return KV_E_PORT_BUSY;
        // At 300 ms the device's flash writes would read as silence half-way through the image.
        if (!port_.set_read_timeout(kUploadReadTimeoutMs))
            return KV_E_PORT_NOT_INITIALIZED;
        port_.purge();

        const auto command = BuildUploadCommand(package.body_size);
        if (port_.write(command.data(), command.size()) != command.size())
            return KV_E_COMM_WRITE_FAILURE;
        if (connection_.hardware_letter == kDoubledCommandLetter &&
            port_.write(command.data(), command.size()) != command.size())
            return KV_E_COMM_WRITE_FAILURE;
        std::uint8_t answer = 0;
        if (port_.read(&answer, 1) != 1)
            return KV_E_COMM_READ_FAILURE;
        if (answer != frames::kAck)
            return KV_E_INVALID_RESPONSE;

        return send_image(package);
    }

    std::int32_t send_image(const LoadedPackage& package)
    {
        const std::uint32_t n = package.body_size;
        const std::uint8_t* body = package.body.get();
        const std::uint8_t trailer = AdditiveChecksum(body, static_cast<std::int32_t>(n));
        const std::uint32_t full_chunks = n / kUploadChunkSize;
        const std::uint32_t rest = n % kUploadChunkSize;
        round_trips_.reserve(full_chunks + 1);

        for (std::uint32_t i = 0; i < full_chunks; ++i) {
            std::memcpy(chunk_, body + i * kUploadChunkSize, kUploadChunkSize);
            std::uint32_t length = kUploadChunkSize;
            if (rest == 0 && i + 1 == full_chunks)
                chunk_[length++] = trailer;
            if (const std::int32_t r = send_chunk(length); r != KV_S_OK)
                return r;
        }
        if (rest != 0) {
            std::memcpy(chunk_, body + full_chunks * kUploadChunkSize, rest);
            chunk_[rest] = trailer;
            if (const std::int32_t r = send_chunk(rest + 1); r != KV_S_OK)
                return r;
        }

        std::uint8_t status = 0;
        if (port_.read(&status, 1) != 1)
            return KV_E_COMM_READ_FAILURE;
        return UploadStatusResult(status);
    }

    std::int32_t send_chunk(std::uint32_t length)
    {
        const auto start = connection_.clock().now();
        if (port_.write(chunk_, length) != length)
            return KV_E_COMM_WRITE_FAILURE;
        std::uint8_t answer = 0;
        const std::uint32_t got = port_.read(&answer, 1);
        round_trips_.push_back(connection_.clock().now() - start);
        if (got != 1)
            return KV_E_COMM_READ_FAILURE;
        switch (answer) {
        case frames::kAck:
            ++progress_.position;
            report(kProgressChunk);
            return KV_S_OK;
        case frames::kUnknownCommand: return KV_E_REQUEST_NOT_SUPPORTED;
        case kBufferingFailed: return KV_E_NVRAM_BUFFERING_FAILED;
        default: return KV_S_OK; // the device's other chatter does not stop the upload
        }
    }

    // How long each chunk took from its write to its answer: a slow adapter shows here first.
    void log_round_trips()
    {
        if (round_trips_.empty())
            return;
        const std::size_t count = round_trips_.size();
        const auto longest = *std::max_element(round_trips_.begin(), round_trips_.end());
        auto middle = round_trips_.begin() + static_cast<std::ptrdiff_t>(count / 2);
        std::nth_element(round_trips_.begin(), middle, round_trips_.end());
        std::chrono::nanoseconds median = *middle;
        if (count % 2 == 0) {
            const auto below = *std::max_element(round_trips_.begin(), middle);
            median = (median + below) / 2;
        }
        const auto ms = [](std::chrono::nanoseconds d) { return static_cast<double>(d.count()) / 1e6; };
        log_line(connection_.log_sink,
                 "QBKorvane: Chunk round trips: median %.1f ms, max %.1f ms over %u chunks", ms(median),
                 ms(longest), static_cast<unsigned>(count));
    }

    void report(std::uint32_t flags)
    {
        if (!callback_)
            return;
        progress_.flags = flags;
        callback_(&progress_);
    }

    DeviceConnection& connection_;
    SerialPort& port_;
    const ProgressCallback& callback_;
    UpdateProgress progress_{};
    PackageFile file_;
    LoadedPackage loaded_;
    std::optional<DeviceLockGuard> lock_;
    std::uint8_t chunk_[kUploadChunkSize + 1] = {};
    std::vector<std::chrono::nanoseconds> round_trips_;
};

} // namespace

std::int32_t UploadFirmware(DeviceConnection& connection, const char* path, const ProgressCallback& callback)
{
    UploadSession session(connection, callback);
    const std::int32_t result = session.run(path, nullptr, nullptr);
    session.finish();
    return result;
}

std::int32_t UploadFirmware(DeviceConnection& connection, const char* path, const ProgressCallback& callback,
                            const Sha256Digest& examined, bool* changed)
{
    if (changed != nullptr)
        *changed = false;
    UploadSession session(connection, callback);
    const std::int32_t result = session.run(path, &examined, changed);
    session.finish();
    return result;
}

std::int32_t UploadPackage(DeviceConnection& connection, const LoadedPackage& package,
                           const ProgressCallback& callback)
{
    UploadSession session(connection, callback);
    const std::int32_t result = session.run(package);
    session.finish();
    return result;
}
