#include "device/model_table.h"

#include "device/bounded_text.h"

namespace {

struct ModelRow {
    std::uint8_t letter;
    std::uint32_t model_id;
    const char* name;
    std::uint32_t generation;
    std::uint32_t capabilities; // before the version thresholds
    std::uint32_t memory_size;
    std::uint32_t bank_size;
    std::uint32_t bank_count;
};

// 'O' appears twice: the Larkin and, picked by EEPROM id, the Larkin II. 'D' appears twice:
// Cinder below major 50, Cinder II from 50.
constexpr ModelRow kRows[] = {
    {'1', 1, "Vellum I", 2, 0x02, 0x8000, 0x8000, 1},
    {'2', 2, "Vellum II", 2, 0x02, 0x10000, 0x10000, 1},
    {'T', 3, "Ferrule Pro", 3, 0x102, 0x10000, 0x10000, 1},
    {'A', 4, "Korvane", 1, 0x113, 0x10000, 0x10000, 1},
    {'F', 5, "Pike & Wren", 1, 0x01, 0, 0, 0},
    {'O', kModelLarkin, "Larkin", 1, 0x02, 0x80000, 0x10000, 9},
    {'P', kModelLarkinII, "Larkin II", 1, 0x6E, 0x80000, 0x10000, 9},
    {'R', 8, "Skyway", 1, 0x66, 0x100000, 0x100000, 1},
    {'L', kModelMeridian, "Meridian", 1, 0x280, 0, 0, 0},
    {'D', kModelCinder, "Cinder", 1, 0xCA, 0x80000, 0x8000, 17},
    {'D', 11, "Cinder II", 1, 0xC2, 0x8000, 0x8000, 1},
    {'X', 12, "J7", 1, 0x801, 0, 0, 0},
    {'Q', kModelWayfarer, "Wayfarer", 1, 0x2B, 0, 0, 0},
    {'J', 14, "Pinecrest", 1, 0x01, 0, 0, 0},
    {'Z', kModelHalcyon, "Halcyon Programmer", 1, 0x09, 0, 0, 0},
    {'N', kModelTolv, "TOLV", 1, 0x8A, 0x20000, 0x10000, 3},
    {'n', kModelTolv2, "TOLV2", 1, 0x8A, 0x20000, 0x10000, 3},
};

constexpr std::uint8_t kCinderIIMajor = 50;

const ModelRow* FindRow(std::uint8_t letter, std::uint8_t major, bool larkin_ii)
{
    std::uint32_t wanted_model = 0;
    if (letter == kLetterLarkin && larkin_ii)
        wanted_model = kModelLarkinII;
    else if (letter == kLetterCinder)
        wanted_model = major < kCinderIIMajor ? kModelCinder : 11;
    for (const ModelRow& row : kRows) {
        if (wanted_model != 0) {
            if (row.model_id == wanted_model)
                return &row;
        } else if (row.letter == letter) {
            return &row;
        }
    }
    return nullptr;
}

std::uint32_t ThresholdBits(std::uint32_t model_id, std::uint8_t major, std::uint8_t minor)
{
    switch (model_id) {
    case 1:
    case 2: return MeetsVersion(major, minor, 1, 34) ? 0x20 : 0;
    case 4: return MeetsVersion(major, minor, 2, 12) ? 0x40 : 0;
    case kModelLarkin:
        return (MeetsVersion(major, minor, 10, 15) ? 0x04 : 0) |
               (MeetsVersion(major, minor, 10, 5) ? 0x08 : 0) |
               (MeetsVersion(major, minor, 10, 12) ? 0x40 : 0);
    default: return 0;
    }
}

} // namespace

ModelMatch ApplyModelRow(HardwareInfo& info, std::uint8_t letter, std::uint8_t major, std::uint8_t minor,
                         bool larkin_ii)
{
    if (letter == kLetterNoModel)
        return ModelMatch::no_model;
    const ModelRow* row = FindRow(letter, major, larkin_ii);
    if (row == nullptr)
        return ModelMatch::unknown;

    info.protocol_generation = row->generation;
    info.model_id = row->model_id;
    info.capabilities = row->capabilities | ThresholdBits(row->model_id, major, minor);
    if (row->model_id == 12 && !MeetsVersion(major, minor, 1, 3))
        info.capabilities = 0x401; // J7 firmware 1.0 to 1.2
    info.memory_size = row->memory_size;
    info.bank_size = row->bank_size;
    info.bank_count = row->bank_count;
    CopyText(info.description, sizeof info.description, row->name);
    return ModelMatch::known;
}
