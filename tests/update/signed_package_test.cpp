// Signed packages through the update flow, against the simulated device: a package whose .sig does
// not vouch for its bytes is refused before the device is asked anything and is never sent, a valid
// one is sent byte for byte, and an unsigned one is accepted unless signatures are required.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "package/signature.h"
#include "tests/device/test_support.h"
#include "tests/log/memory_text_control.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"
#include "tools/qfwpack/package_signer.h"
#include "update/update_flow.h"

namespace {

constexpr FileVersionNumbers kOwn{1, 13, 101, 0};
const std::string kKeys = KV_TEST_KEYS_DIR;

std::vector<std::uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class SignedPackageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sink_.edit_control = &log_;
        connection_.log_sink = &sink_;
        ASSERT_TRUE(sim_.start());
        ASSERT_TRUE(sim_.link_as(ports_.link(3)));
        ASSERT_TRUE(flow_.Find(SearchTarget::ComSearch()).found);
        sim_.clear_frames();
        log_.clear();
    }
    void TearDown() override { sim_.stop(); }

    std::string Package(const std::string& name, qfwpack::PackageSpec spec = {})
    {
        const std::string path = ports_.path() + "/" + name;
        EXPECT_TRUE(qfwpack::WritePackage(path, spec));
        return path;
    }
    static void Sign(const std::string& path, const std::string& key = "test-only-a", std::string id = "")
    {
        std::string error;
        ASSERT_TRUE(qfwpack::SignPackage(path, kKeys + "/" + key + ".key.pem", id.empty() ? key : id, &error))
            << error;
    }

    ExaminedPackage Examine(const std::string& path)
    {
        return flow_.Examine(path.c_str(), flow_.DeviceEepromReader(false), kOwn);
    }
    std::vector<std::string> LogLines() const { return SplitLogLines(log_.text()); }

    // A refused package: the device heard nothing while it was examined, and flashing it sends
    // nothing either.
    void ExpectRefusedUnheard(const std::string& path)
    {
        const ExaminedPackage package = Examine(path);
        EXPECT_EQ(package.verdict, IDS_PACKAGE_SIGNATURE_MISMATCH);
        EXPECT_TRUE(SignatureRefused(package.signature.state));
        EXPECT_TRUE(sim_.frames().empty()) << "the device was asked something";
        EXPECT_EQ(flow_.Send(package, package.verdict, nullptr), KV_E_INVALID_FIRMWARE_IMAGE);
        EXPECT_TRUE(sim_.frames().empty()) << "something was sent";
    }

    kvtest::ComDir ports_;
    MemoryTextControl log_;
    LogSink sink_;
    DeviceConnection connection_;
    UpdateFlow flow_{connection_};
    kvsim::SimDevice sim_;
};

TEST_F(SignedPackageTest, AValidSignatureIsAcceptedAndExactlyThoseBytesAreSent)
{
    const std::string path = Package("signed.qfw");
    Sign(path);
    const ExaminedPackage package = Examine(path);
    ASSERT_EQ(package.verdict, 0);
    EXPECT_EQ(package.signature.state, SignatureState::valid);
    EXPECT_EQ(package.signature.key_id, "test-only-a");
    EXPECT_EQ(LogLines().front(), "QBKorvane: Package signed by key test-only-a");

    // Both test keys are trusted at once.
    const std::string other = Package("signed-b.qfw");
    Sign(other, "test-only-b");
    EXPECT_EQ(Examine(other).signature.state, SignatureState::valid);

    const std::vector<std::uint8_t> file = ReadAll(path);
    std::filesystem::remove(path); // what was verified is sent, whatever the file becomes
    ASSERT_EQ(flow_.Send(package, package.verdict, nullptr), KV_S_OK);
    EXPECT_EQ(sim_.received_image(), std::vector<std::uint8_t>(file.begin() + 256, file.end()));
}

TEST_F(SignedPackageTest, AlteredByOneByteAfterSigningIsRefusedUnheard)
{
    const std::string path = Package("signed.qfw");
    Sign(path);
    const std::vector<std::uint8_t> original = ReadAll(path);

    // Each alteration leaves a package that passes its own checks: only the signature catches it.
    std::vector<std::uint8_t> body = original;
    body[300] = static_cast<std::uint8_t>(body[300] + 1);
    body[301] = static_cast<std::uint8_t>(body[301] - 1); // sums unchanged
    std::vector<std::uint8_t> header = original;
    header[4] = 0; // the oldest updater, outside the file sum
    for (const auto& altered : {body, header}) {
        const std::string unsigned_copy = ports_.path() + "/copy.qfw";
        WriteAll(unsigned_copy, altered);
        EXPECT_EQ(Examine(unsigned_copy).verdict, 0) << "the alteration alone is not refused";
        sim_.clear_frames();

        WriteAll(path, altered);
        log_.clear();
        ExpectRefusedUnheard(path);
        EXPECT_EQ(LogLines().front(),
                  "QBKorvane: Package signature refused: its .sig is for another package");
    }
}

TEST_F(SignedPackageTest, EveryBadSigIsRefusedUnheard)
{
    const std::string path = Package("p.qfw");
    const std::string sig = SignaturePathFor(path);
    qfwpack::PackageSpec other_spec;
    other_spec.seed = 2;
    const std::string other = Package("other.qfw", other_spec);

    Sign(other); // a genuine signature, of another package
    std::filesystem::rename(SignaturePathFor(other), sig);
    ExpectRefusedUnheard(path);

    Sign(path, "test-never-trusted");
    ExpectRefusedUnheard(path);
    Sign(path, "test-never-trusted", "test-only-a"); // claims a trusted key
    ExpectRefusedUnheard(path);

    Sign(path);
    std::vector<std::uint8_t> text = ReadAll(sig);
    WriteAll(sig, std::vector<std::uint8_t>(text.begin(), text.end() - 10)); // truncated
    ExpectRefusedUnheard(path);
    WriteAll(sig, {'M', 'Z', 0x90, 0, 3, 0, 0, 0}); // garbage
    ExpectRefusedUnheard(path);

    std::filesystem::remove(sig);
    std::filesystem::create_directory(sig);
    ExpectRefusedUnheard(path);
}

TEST_F(SignedPackageTest, UnsignedIsAcceptedUnlessSignaturesAreRequired)
{
    const std::string path = Package("unsigned.qfw");
    const ExaminedPackage accepted = Examine(path);
    EXPECT_EQ(accepted.verdict, 0);
    EXPECT_EQ(accepted.signature.state, SignatureState::none);
    EXPECT_EQ(LogLines().front(), "QBKorvane: Package is not signed");

    flow_.set_signature_policy(SignaturePolicy::require);
    sim_.clear_frames();
    const ExaminedPackage refused = Examine(path);
    EXPECT_EQ(refused.verdict, IDS_PACKAGE_NOT_SIGNED);
    EXPECT_EQ(flow_.SignatureVerdict(refused), IDS_PACKAGE_NOT_SIGNED);
    EXPECT_TRUE(sim_.frames().empty());
    Sign(path);
    EXPECT_EQ(Examine(path).verdict, 0);

    // A file that is no package keeps its own refusal, signed or not.
    const std::string truncated = ports_.path() + "/short.qfw";
    WriteAll(truncated, {'C', 'Q', 'F', 'W'});
    EXPECT_EQ(Examine(truncated).verdict, IDS_PACKAGE_INVALID);
}

} // namespace
