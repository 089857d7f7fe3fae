// The model table: which hardware a version reply's letter stands for, and what it can do.
#pragma once

#include <cstdint>

#include "device/device_connection.h"

enum class ModelMatch {
    known,    // a row was applied
    no_model, // the letter 'd': a device that answers but has no model of its own
    unknown,  // a letter the table does not hold
};

// Letters whose rows need more than the letter.
inline constexpr std::uint8_t kLetterLarkin = 0x4F;     // 'O': Larkin, or Larkin II by EEPROM id
inline constexpr std::uint8_t kLetterCinder = 0x44;     // 'D': Cinder, or Cinder II by major
inline constexpr std::uint8_t kLetterNoModel = 0x64;    // 'd'
inline constexpr std::uint8_t kDeviceIdLarkinII = 0x50; // EEPROM id 'P'

inline constexpr std::uint32_t kModelLarkin = 6;
inline constexpr std::uint32_t kModelLarkinII = 7;
inline constexpr std::uint32_t kModelMeridian = 9;
inline constexpr std::uint32_t kModelCinder = 10;
inline constexpr std::uint32_t kModelWayfarer = 13;
inline constexpr std::uint32_t kModelHalcyon = 15;
inline constexpr std::uint32_t kModelTolv = 16;
inline constexpr std::uint32_t kModelTolv2 = 17;

// Sets the row's fields and copies its model name into `description` (which the caller has
// cleared). For 'O', `larkin_ii` picks the Larkin II row. Nothing is changed for 'd' or an
// unknown letter.
ModelMatch ApplyModelRow(HardwareInfo& info, std::uint8_t letter, std::uint8_t major, std::uint8_t minor,
                         bool larkin_ii);
