#include "tools/qfwpack/package_builder.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using qfwpack::BuildPackage;
using qfwpack::PackageSpec;

std::uint32_t ReadLe32(const std::vector<std::uint8_t>& f, std::size_t at)
{
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (static_cast<std::uint32_t>(f[at + 3]) << 24);
}

// Independent recomputation of both sums, as a reader of the file would.
std::uint32_t FileSum(const std::vector<std::uint8_t>& f)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 12; i < f.size(); ++i)
        sum += f[i];
    return sum;
}

std::uint8_t BodySumBeforeTrailer(const std::vector<std::uint8_t>& f)
{
    unsigned sum = 0;
    for (std::size_t i = 256; i + 1 < f.size(); ++i)
        sum += f[i];
    return static_cast<std::uint8_t>(sum);
}

TEST(PackageBuilder, HeaderFieldsLieAtTheirOffsetsLittleEndian)
{
    PackageSpec spec;
    spec.min_updater_major = 1;
    spec.min_updater_minor = 12;
    spec.min_updater_build = 0xFFFE;
    spec.fw_major = 2;
    spec.fw_minor = 21;
    spec.fw_letter = 'D';
    spec.target_hw = 'N';
    spec.body_size = 300;
    const auto f = BuildPackage(spec);
    ASSERT_EQ(f.size(), 556u);
    EXPECT_EQ(std::memcmp(f.data(), "CQFW", 4), 0);
    EXPECT_EQ(f[4], 1);
    EXPECT_EQ(f[5], 12);
    EXPECT_EQ(f[6], 0xFE);
    EXPECT_EQ(f[7], 0xFF);
    EXPECT_EQ(f[12], 2);
    EXPECT_EQ(f[13], 21);
    EXPECT_EQ(f[14], 'D');
    EXPECT_EQ(f[22], 'N');
    for (std::size_t i : {15u, 21u, 23u, 255u})
        EXPECT_EQ(f[i], 0) << i;
}

TEST(PackageBuilder, CorrectSumsCheckOutAndBadOnesAreOffByOne)
{
    PackageSpec spec;
    spec.body_size = 1000;
    const auto good = BuildPackage(spec);
    EXPECT_EQ(ReadLe32(good, 8), FileSum(good));
    EXPECT_EQ(good.back(), BodySumBeforeTrailer(good));

    spec.bad_checksum = true;
    const auto bad_sum = BuildPackage(spec);
    EXPECT_EQ(ReadLe32(bad_sum, 8), FileSum(bad_sum) + 1);
    EXPECT_EQ(bad_sum.back(), BodySumBeforeTrailer(bad_sum));

    spec.bad_checksum = false;
    spec.bad_trailer = true;
    const auto bad_trailer = BuildPackage(spec);
    // The header sum covers the wrong trailer, so only the upload's body check notices.
    EXPECT_EQ(ReadLe32(bad_trailer, 8), FileSum(bad_trailer));
    EXPECT_EQ(bad_trailer.back(), static_cast<std::uint8_t>(BodySumBeforeTrailer(bad_trailer) + 1));
}

TEST(PackageBuilder, UpdaterRequirementIsOutsideTheSum)
{
    PackageSpec a;
    PackageSpec b = a;
    b.min_updater_major = 9;
    b.min_updater_build = 7;
    EXPECT_EQ(ReadLe32(BuildPackage(a), 8), ReadLe32(BuildPackage(b), 8));
}

TEST(PackageBuilder, BodySizesIncludingEmptyAndBeyondSixteenBits)
{
    for (std::size_t n : {0u, 1u, 255u, 256u, 257u, 65536u, 70000u}) {
        PackageSpec spec;
        spec.body_size = n;
        const auto f = BuildPackage(spec);
        ASSERT_EQ(f.size(), 256 + n) << n;
        EXPECT_EQ(ReadLe32(f, 8), FileSum(f)) << n;
        if (n > 0) {
            EXPECT_EQ(f.back(), BodySumBeforeTrailer(f)) << n;
        }
    }
    PackageSpec one;
    one.body_size = 1;
    EXPECT_EQ(BuildPackage(one).back(), 0); // the sum of no bytes
}

TEST(PackageBuilder, SeedDecidesTheContentReproducibly)
{
    PackageSpec a;
    a.seed = 7;
    PackageSpec b = a;
    b.seed = 8;
    EXPECT_EQ(BuildPackage(a), BuildPackage(a));
    EXPECT_NE(BuildPackage(a), BuildPackage(b));
    const auto body = qfwpack::BuildBody(a);
    for (std::size_t i = 0; i + 1 < body.size(); ++i)
        ASSERT_EQ(body[i], qfwpack::BodyByte(7, i));
}

TEST(PackageBuilder, PayloadMagicChecksumAndTruncation)
{
    PackageSpec spec;
    spec.payload = std::vector<std::uint8_t>{1, 2, 3};
    spec.magic = {'X', 'Q', 'F', 'W'};
    auto f = BuildPackage(spec);
    ASSERT_EQ(f.size(), 260u);
    EXPECT_EQ(f[0], 'X');
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 256, f.end()), (std::vector<std::uint8_t>{1, 2, 3, 6}));

    spec.checksum = 0xDEADBEEF;
    EXPECT_EQ(ReadLe32(BuildPackage(spec), 8), 0xDEADBEEFu);

    spec.truncate_to = 100;
    EXPECT_EQ(BuildPackage(spec).size(), 100u);
}

TEST(PackageBuilder, WritePackageWritesTheBuiltBytes)
{
    const std::string path = ::testing::TempDir() + "kv_builder_test_" + std::to_string(::getpid()) + ".qfw";
    PackageSpec spec;
    spec.body_size = 513;
    ASSERT_TRUE(qfwpack::WritePackage(path, spec));
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> read((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    EXPECT_EQ(read, BuildPackage(spec));
    std::remove(path.c_str());
    EXPECT_FALSE(qfwpack::WritePackage(::testing::TempDir() + "no/such/dir/x.qfw", spec));
}

} // namespace
