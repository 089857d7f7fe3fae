// Test helpers: package files in a private temporary folder, built with the package builder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tools/qfwpack/package_builder.h"

namespace kvtest {

// A fresh folder per test, removed afterwards.
class TempFolder {
public:
    TempFolder()
    {
        static std::atomic<int> counter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "kvpkg-";
        name += info != nullptr ? info->name() : "x";
        name += "-" + std::to_string(counter++) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        for (char& c : name)
            if (c == '/')
                c = '_';
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

    std::string package(const qfwpack::PackageSpec& spec, const std::string& name = "p.qfw") const
    {
        const std::string p = file(name);
        EXPECT_TRUE(qfwpack::WritePackage(p, spec));
        return p;
    }

    std::string raw(const std::vector<std::uint8_t>& bytes, const std::string& name = "raw.qfw") const
    {
        const std::string p = file(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good());
        return p;
    }

private:
    std::filesystem::path path_;
};

// A package for hardware 'A' that the program's own version accepts, with a body of n bytes.
inline qfwpack::PackageSpec GoodSpec(std::size_t body_size = 1024)
{
    qfwpack::PackageSpec spec;
    spec.body_size = body_size;
    spec.target_hw = 'A';
    spec.fw_letter = 'A';
    spec.min_updater_major = 1;
    spec.min_updater_minor = 13;
    spec.min_updater_build = 101;
    return spec;
}

} // namespace kvtest
