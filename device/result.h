// Result codes of every device operation: 0 is success, failures are negative.
#pragma once

#include <cstdint>

inline constexpr std::int32_t KV_S_OK = 0;
inline constexpr std::int32_t KV_E_GENERAL_ERROR = -1;
inline constexpr std::int32_t KV_E_PORT_NOT_INITIALIZED = -2;
inline constexpr std::int32_t KV_E_REQUEST_NOT_SUPPORTED = -3;
inline constexpr std::int32_t KV_E_COMM_WRITE_FAILURE = -4;
inline constexpr std::int32_t KV_E_COMM_READ_FAILURE = -5;
inline constexpr std::int32_t KV_E_DEVICE_NOT_FOUND = -6;
inline constexpr std::int32_t KV_E_INVALID_RESPONSE = -7;
inline constexpr std::int32_t KV_E_UNKNOWN_COMMAND = -8;
inline constexpr std::int32_t KV_E_BAD_CHECKSUM = -9;
inline constexpr std::int32_t KV_E_ALT_WRITE_BAD_CHECKSUM = -10;
inline constexpr std::int32_t KV_E_EXTERNAL_CS_INVALID = -11;
inline constexpr std::int32_t KV_E_NVRAM_BUFFERING_FAILED = -12;
inline constexpr std::int32_t KV_E_INTERNAL_CS_INVALID = -13;
inline constexpr std::int32_t KV_E_INVALID_FIRMWARE_IMAGE = -14;
inline constexpr std::int32_t KV_E_FIRMWARE_FLASH_FAILED = -15;
inline constexpr std::int32_t KV_E_THREAD_TIMEOUT = -16;
inline constexpr std::int32_t KV_E_COMM_READ_TIMEOUT = -17;
inline constexpr std::int32_t KV_E_INVALID_FUNC_PARAM = -18;
inline constexpr std::int32_t KV_E_OPERATION_CANCELED = -19;
inline constexpr std::int32_t KV_E_PORT_BUSY = -20;
inline constexpr std::int32_t KV_E_INVALID_VERSION = -21;
inline constexpr std::int32_t KV_E_INVALID_HARDWARE_ID = -22;
inline constexpr std::int32_t KV_E_LARGE_BIN_BANK_FAILED = -23;
inline constexpr std::int32_t KV_E_INVALID_REQUEST_PARAM = -24;
inline constexpr std::int32_t KV_E_INVALID_ALIGNMENT = -28;

// Identification's answer for a hardware letter it does not know (an HRESULT-style value).
inline constexpr std::int32_t KV_E_UNKNOWN_HARDWARE = static_cast<std::int32_t>(0x8007048Fu);

// The code's fixed name, or "(ERROR NOT IN LIST)". The text is static.
const char* result_name(std::int32_t code);
