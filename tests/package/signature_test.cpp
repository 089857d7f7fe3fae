// Package signatures: the .sig format read strictly, verification with the system's cryptography
// (OpenSSL natively, CNG under Wine, on the same vectors), and the check of a .sig beside a package.
// The vectors were made with qfwpack sign and the keys of tests/keys, and checked with openssl dgst.
#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/ecdsa_p256.h"
#include "package/package_file.h"
#include "package/signature.h"
#include "package/signature_check.h"
#include "tests/package/package_test_support.h"

namespace {

using kvtest::TempFolder;

// The default package of the builder (qfwpack::PackageSpec{}).
const char kPackageSha[] = "e8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284";

const char kSignedByA[] = "qfw-signature 1\n"
                          "key test-only-a\n"
                          "sha256 e8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284\n"
                          "ecdsa-p256 62f65c7f6f861a6e33be9a226ab69ab994919cb60a5e024973e8c6ac00935547"
                          "efda1bb54f318e09739aceb64bdefd838c606ac4e7d2dcfd4394858a905a8fa7\n";
const char kSignedByB[] = "qfw-signature 1\n"
                          "key test-only-b\n"
                          "sha256 e8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284\n"
                          "ecdsa-p256 0f2a42825eabb8a76058e3df4249396958d52c0d205fcccc5ba2e927f60a1d43"
                          "58fd1c096b99d6b59134b13cf90acdc0853cbcc7d5bf5c5e6223733f4ed2d8cb\n";
const char kSignedByUntrusted[] =
    "qfw-signature 1\n"
    "key test-never-trusted\n"
    "sha256 e8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284\n"
    "ecdsa-p256 5951dc56f6e36dea58e9504d01e0b192a29e53d314ee7215ddbd9144e1e56c82"
    "fdf52b2167c4e8bd80fe846e2dac64be3e65cbead38f1e4c3405c7e114ff94ee\n";
// Made with the untrusted key, but naming test-only-a.
const char kForgedAsA[] = "qfw-signature 1\n"
                          "key test-only-a\n"
                          "sha256 e8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284\n"
                          "ecdsa-p256 bf7b216f4b10fe140989ef872af778cf32f1d44ab8ecaa83b9df855116fd8bbd"
                          "7bf64a604c06c07fe1ba78550adad128ad90dff7467fad7e1c3ab558dee5776e\n";
// A genuine signature by test-only-a of another package (seed 2).
const char kOtherPackageByA[] = "qfw-signature 1\n"
                                "key test-only-a\n"
                                "sha256 424a976956c64125feb2c45dca0977f703b611a66ff2f7d7c1194f05d24e7e97\n"
                                "ecdsa-p256 0f16503c031eec02c0e4d851466e9f2ae9abaa77b93758a9aab60bc6ce3adc2f"
                                "a495bf645ce346565895e0cdafdd076c0da34e5274cf9bef11cb715517e6615a\n";

P256PublicKey Key(const char* hex)
{
    P256PublicKey key{};
    EXPECT_TRUE(ParsePublicKeyText(hex, &key));
    return key;
}

const std::array<TrustedKey, 2> kTrusted{{
    {"test-only-a", Key("04789f12aee09a13a3ac20b1e83086a7668a139e29333ac0c000ef4187695659b7"
                        "24c4ac8e7153e00285aabc065e0b668398bc969031a5d8b450ee05c476594321")},
    {"test-only-b", Key("040807e81c769d06219586d40a860b125c769325bb2497c4bcf1070107877d4d66"
                        "656f0cc9e8ba1a51e98ed118f77303b12971046cb6f49abae1b9736b9ed006c4")},
}};

std::span<const std::uint8_t> Bytes(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Sha256Digest Digest(const char* hex)
{
    Sha256Digest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    return digest;
}

SignatureCheck Check(const std::string& text, const char* sha = kPackageSha)
{
    return CheckSignatureText(Bytes(text), Digest(sha), kTrusted);
}

TEST(SignatureFile, ReadsWhatItWrites)
{
    DetachedSignature parsed;
    ASSERT_TRUE(ParseSignatureFile(Bytes(kSignedByA), &parsed));
    EXPECT_EQ(parsed.key_id, "test-only-a");
    EXPECT_EQ(Sha256Hex(parsed.package_sha256), kPackageSha);
    EXPECT_EQ(parsed.signature[0], 0x62);
    EXPECT_EQ(parsed.signature[63], 0xa7);
    EXPECT_EQ(FormatSignatureFile(parsed), kSignedByA);

    DetachedSignature longest{std::string(kMaxKeyIdLength, 'k'), {}, {}};
    EXPECT_EQ(FormatSignatureFile(longest).size(), kMaxSignatureFileSize);
    EXPECT_TRUE(ParseSignatureFile(Bytes(FormatSignatureFile(longest)), &parsed));
}

TEST(SignatureFile, RefusesEveryCutOfAGoodFile)
{
    const std::string good = kSignedByA;
    DetachedSignature parsed;
    for (std::size_t size = 0; size < good.size(); ++size)
        EXPECT_FALSE(ParseSignatureFile(Bytes(good.substr(0, size)), &parsed)) << size << " bytes";
}

TEST(SignatureFile, RefusesAnythingButTheExactForm)
{
    const std::string good = kSignedByA;
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<std::string> bad = {
        good + "\n",                     // a line more
        good + "x",                      // trailing bytes
        good.substr(0, good.size() - 1), // no final line feed
        replaced("\n", "\r\n"),          // CRLF
        replaced("qfw-signature 1", "qfw-signature 2"),
        replaced("key test-only-a", "key  test-only-a"),
        replaced("key test-only-a", "key Test-only-a"),
        replaced("key test-only-a", "key -test-only-a"),
        replaced("key test-only-a", "key "),
        replaced("key test-only-a", "key test.only.a"),
        replaced("key test-only-a", "key " + std::string(kMaxKeyIdLength + 1, 'k')),
        replaced("sha256 e887", "sha256 E887"),  // one spelling only
        replaced("sha256 e887", "sha256 e88"),   // 63 digits
        replaced("sha256 e887", "sha256 e8870"), // 65 digits
        replaced("ecdsa-p256 62f6", "ecdsa-p256 62g6"),
        replaced("ecdsa-p256 62f6", "ecdsa-p256 2f6"),
        replaced("key test-only-a\n", ""), // a line missing
        "",
        std::string(kMaxSignatureFileSize + 1, 'a'),
        std::string("\x30\x45\x02\x21\x00\xff garbage \x00\x01", 17),
    };
    for (const std::string& text : bad) {
        DetachedSignature parsed;
        parsed.key_id = "untouched";
        EXPECT_FALSE(ParseSignatureFile(Bytes(text), &parsed)) << text;
        EXPECT_EQ(parsed.key_id, "untouched");
    }
}

TEST(SignatureFile, PublicKeyTextIsTheUncompressedPointOnly)
{
    P256PublicKey key{};
    const std::string point = "04789f12aee09a13a3ac20b1e83086a7668a139e29333ac0c000ef4187695659b7"
                              "24c4ac8e7153e00285aabc065e0b668398bc969031a5d8b450ee05c476594321";
    EXPECT_TRUE(ParsePublicKeyText(point, &key));
    EXPECT_TRUE(ParsePublicKeyText(point + "\n", &key));
    EXPECT_FALSE(ParsePublicKeyText(point + "\n\n", &key));
    EXPECT_FALSE(ParsePublicKeyText("03" + point.substr(2), &key)); // compressed prefix
    EXPECT_FALSE(ParsePublicKeyText(point.substr(0, 66), &key));
    EXPECT_EQ(SignaturePathFor("C:\\Downloads\\fw 2.21.qfw"), "C:\\Downloads\\fw 2.21.qfw.sig");
}

TEST(Verification, AcceptsOnlyTheSignedHashByItsKey)
{
    DetachedSignature a;
    ASSERT_TRUE(ParseSignatureFile(Bytes(kSignedByA), &a));
    const std::string signed_part = SignedPart(a.key_id, a.package_sha256);
    const Sha256Digest hash = Sha256Of(Bytes(signed_part).data(), signed_part.size());
    const P256PublicKey& key_a = kTrusted[0].key;
    ASSERT_TRUE(VerifyP256(key_a, hash, a.signature));
    EXPECT_FALSE(VerifyP256(kTrusted[1].key, hash, a.signature));

    Sha256Digest other_hash = hash;
    other_hash[31] ^= 1;
    EXPECT_FALSE(VerifyP256(key_a, other_hash, a.signature));

    for (std::size_t bit = 0; bit < 8 * a.signature.size(); ++bit) {
        P256Signature flipped = a.signature;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(VerifyP256(key_a, hash, flipped)) << "bit " << bit;
    }
}

TEST(Verification, RefusesOutOfRangeSignaturesAndKeysOffTheCurve)
{
    DetachedSignature a;
    ASSERT_TRUE(ParseSignatureFile(Bytes(kSignedByA), &a));
    const std::string signed_part = SignedPart(a.key_id, a.package_sha256);
    const Sha256Digest hash = Sha256Of(Bytes(signed_part).data(), signed_part.size());
    const P256PublicKey& key_a = kTrusted[0].key;

    P256Signature zero{};
    EXPECT_FALSE(VerifyP256(key_a, hash, zero));
    P256Signature ones;
    ones.fill(0xFF);
    EXPECT_FALSE(VerifyP256(key_a, hash, ones));
    // s replaced by the group order n: never a valid scalar.
    P256Signature order = a.signature;
    const std::uint8_t n[32] = {0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff,
                                0xff, 0xff, 0xff, 0xff, 0xff, 0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17,
                                0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};
    std::copy(std::begin(n), std::end(n), order.begin() + 32);
    EXPECT_FALSE(VerifyP256(key_a, hash, order));

    P256PublicKey off_curve = key_a;
    off_curve[64] ^= 1;
    EXPECT_FALSE(VerifyP256(off_curve, hash, a.signature));
    P256PublicKey not_uncompressed = key_a;
    not_uncompressed[0] = 0x05;
    EXPECT_FALSE(VerifyP256(not_uncompressed, hash, a.signature));
}

TEST(SignatureCheck, EachTrustedKeyIsAccepted)
{
    const SignatureCheck a = Check(kSignedByA);
    EXPECT_EQ(a.state, SignatureState::valid);
    EXPECT_EQ(a.key_id, "test-only-a");
    // Two keys trusted at once: packages of the old and the new key both pass during a rotation.
    const SignatureCheck b = Check(kSignedByB);
    EXPECT_EQ(b.state, SignatureState::valid);
    EXPECT_EQ(b.key_id, "test-only-b");
    // A key that is no longer trusted is unknown, however good its signature.
    EXPECT_EQ(CheckSignatureText(Bytes(kSignedByB), Digest(kPackageSha), std::span(kTrusted).first(1)).state,
              SignatureState::unknown_key);
}

TEST(SignatureCheck, RefusesEveryWayASignatureCanFail)
{
    EXPECT_EQ(Check(kSignedByUntrusted).state, SignatureState::unknown_key);
    EXPECT_EQ(Check(kForgedAsA).state, SignatureState::bad_signature);
    EXPECT_EQ(Check(kOtherPackageByA).state, SignatureState::other_package);
    // The package altered by one byte: its digest is no longer the signed one.
    EXPECT_EQ(Check(kSignedByA, "f8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284").state,
              SignatureState::other_package);
    EXPECT_EQ(Check("garbage").state, SignatureState::malformed);
    // A signature over an altered sha256 line (the signed part changed, the signature kept).
    std::string altered = kSignedByA;
    altered.replace(altered.find("e887"), 4, "f887");
    EXPECT_EQ(Check(altered, "f8872638a30989061fd3c7fe3108cb6a5fd9e6760b0a2786602e89e873a01284").state,
              SignatureState::bad_signature);

    for (const SignatureState refused :
         {SignatureState::unreadable, SignatureState::malformed, SignatureState::other_package,
          SignatureState::unknown_key, SignatureState::bad_signature}) {
        EXPECT_TRUE(SignatureRefused(refused));
        EXPECT_STREQ(SignatureStateName(refused), "invalid");
    }
    EXPECT_FALSE(SignatureRefused(SignatureState::none));
    EXPECT_FALSE(SignatureRefused(SignatureState::valid));
}

class SignatureBeside : public ::testing::Test {
protected:
    SignatureCheck CheckBeside() { return CheckSignatureOf(package_, Digest(kPackageSha), kTrusted); }
    void WriteSig(const std::string& text) { folder_.raw({text.begin(), text.end()}, "p.qfw.sig"); }

    TempFolder folder_;
    std::string package_ = folder_.package(qfwpack::PackageSpec{});
};

TEST_F(SignatureBeside, NoSigFileLeavesThePackageUnsigned)
{
    EXPECT_EQ(CheckBeside().state, SignatureState::none);
    WriteSig(kSignedByA);
    EXPECT_EQ(CheckBeside().state, SignatureState::valid);
}

TEST_F(SignatureBeside, ASigThatCannotBeReadIsARefusal)
{
    std::filesystem::create_directory(SignaturePathFor(package_));
    EXPECT_EQ(CheckBeside().state, SignatureState::unreadable);
    std::filesystem::remove(SignaturePathFor(package_));

    // Held by another program that lets nobody else open it.
    WriteSig(kSignedByA);
    PackageFile holder;
    ASSERT_TRUE(holder.open(SignaturePathFor(package_).c_str(), PackageFile::Sharing::exclusive));
    EXPECT_EQ(CheckBeside().state, SignatureState::unreadable);
    holder.close();
    EXPECT_EQ(CheckBeside().state, SignatureState::valid);
}

TEST_F(SignatureBeside, TruncatedOrOversizedSigIsMalformed)
{
    const std::string good = kSignedByA;
    WriteSig(good.substr(0, good.size() / 2));
    EXPECT_EQ(CheckBeside().state, SignatureState::malformed);
    WriteSig(good + std::string(kMaxSignatureFileSize, '\n'));
    EXPECT_EQ(CheckBeside().state, SignatureState::malformed);
    WriteSig("");
    EXPECT_EQ(CheckBeside().state, SignatureState::malformed);
}

} // namespace
