#include "package/upload.h"

#include <cstring>
#include <optional>

#include "device/checksum.h"
#include "device/device_connection.h"
#include "device/device_lock.h"
#include "device/frames.h"
#include "device/result.h"
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

    std::int32_t run(const char* path)
    {
        if (path == nullptr || *path == '\0')
            return KV_E_GENERAL_ERROR;
        if (connection_.hardware_info.protocol_generation != 1)
            return KV_E_REQUEST_NOT_SUPPORTED;
        if (!port_.is_open())
            return KV_E_PORT_NOT_INITIALIZED;

        if (const std::int32_t loaded = LoadPackageForUpload(file_, path, &package_); loaded != KV_S_OK)
            return loaded;
        // The image is in memory now: holding the file any longer would only make the dialog
        // refuse the same package if the user picks it again while it is being sent.
        file_.close();
        progress_.total = package_.body_size / kUploadChunkSize;
        report(kProgressBegin);

        lock_.emplace(connection_);
        if (lock_->busy())
            return KV_E_PORT_BUSY;
        // At 300 ms the device's flash writes would read as silence half-way through the image.
        if (!port_.set_read_timeout(kUploadReadTimeoutMs))
            return KV_E_PORT_NOT_INITIALIZED;
        port_.purge();

        const auto command = BuildUploadCommand(package_.body_size);
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

        return send_image();
    }

    // Runs on every way out, in this order: normal time-out, lock, end call, file and body.
    void finish()
    {
        if (port_.is_open())
            port_.set_read_timeout(frames::kReadTimeoutStandardMs);
        if (lock_)
            lock_->release();
        report(kProgressEnd);
        file_.close();
        package_.body.reset();
    }

private:
    std::int32_t send_image()
    {
        const std::uint32_t n = package_.body_size;
        const std::uint8_t* body = package_.body.get();
        const std::uint8_t trailer = AdditiveChecksum(body, static_cast<std::int32_t>(n));
        const std::uint32_t full_chunks = n / kUploadChunkSize;
        const std::uint32_t rest = n % kUploadChunkSize;

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
        if (port_.write(chunk_, length) != length)
            return KV_E_COMM_WRITE_FAILURE;
        std::uint8_t answer = 0;
        if (port_.read(&answer, 1) != 1)
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
    LoadedPackage package_;
    std::optional<DeviceLockGuard> lock_;
    std::uint8_t chunk_[kUploadChunkSize + 1] = {};
};

} // namespace

std::int32_t UploadFirmware(DeviceConnection& connection, const char* path, const ProgressCallback& callback)
{
    UploadSession session(connection, callback);
    const std::int32_t result = session.run(path);
    session.finish();
    return result;
}
