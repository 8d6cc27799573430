// The kit check, with the test key and product built in, on the kits the fixture made with the
// vendor scripts and on made-up edge cases. No version record lies in the tests' folder.
#include "kit_signature.h"

#include "result_codes.h"
#include "temp_install_dir.h"
#include "test_archives.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The fixture's kits lie beside the test archives.
std::string kitBytes(const std::wstring& name)
{
    return readFileBytes(testArchive(L"..\\test-kits\\" + name));
}

const unsigned char* bytes(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

TEST(KitSignature, OnlyAKitSignedWithTheBuiltInKeyIsAccepted)
{
    const struct {
        const wchar_t* kit;
        int result;
    } table[] = {
        {L"signed.rtp", KIT_ACCEPTED},
        {L"unsigned.rtp", KIT_NOT_SIGNED},
        {L"other_key.rtp", KIT_BAD_SIGNATURE},
        {L"archive_changed.rtp", KIT_BAD_SIGNATURE},
        {L"signature_changed.rtp", KIT_BAD_SIGNATURE},
        {L"other_magic.rtp", KIT_NOT_SIGNED},
        {L"trailer_cut.rtp", KIT_NOT_SIGNED},
        {L"kitsig01.rtp", KIT_NOT_SIGNED},
        {L"identity_changed.rtp", KIT_BAD_SIGNATURE},
        {L"length_changed.rtp", KIT_BAD_SIGNATURE},
        {L"other_product.rtp", KIT_OTHER_PRODUCT},
        {L"older.rtp", KIT_ACCEPTED},  // no record: any version
    };
    ASSERT_NE(kitPublicKey(), nullptr);
    KitIdentity kitIdentity, installed;
    for (const auto& row : table) {
        std::string kit = kitBytes(row.kit);
        ASSERT_FALSE(kit.empty()) << utf8(row.kit);
        EXPECT_EQ(checkKit(bytes(kit), kit.size(), &kitIdentity, &installed), row.result) << utf8(row.kit);
    }
    std::string kit = kitBytes(L"signed.rtp");
    ASSERT_EQ(checkKit(bytes(kit), kit.size(), &kitIdentity, &installed), KIT_ACCEPTED);
    EXPECT_STREQ(kitIdentity.product, "zolt");
    EXPECT_STREQ(kitIdentity.version, "2.0");
}

TEST(KitSignature, ReadsOneProductAndOneVersionByTheRules)
{
    const std::string longest(64, 'p');
    const struct {
        std::string text;
        const char* product;  // null: refused
        const char* version;
    } table[] = {
        {"product=zolt\nversion=2.3.1\n", "zolt", "2.3.1"},
        {"version=0\nother=any thing\n=\nproduct=Az-_.09\n", "Az-_.09", "0"},
        {"product=" + longest + "\nversion=65535.00001.0.65535\n", longest.c_str(), "65535.00001.0.65535"},
        {"product=" + std::string(65, 'p') + "\nversion=1\n", nullptr, nullptr},
        {"product=zolt\nversion=2.3.1", nullptr, nullptr},       // the last line unended
        {"product=zolt\r\nversion=2.3.1\r\n", nullptr, nullptr},
        {"product=zolt\n\nversion=2.3.1\n", nullptr, nullptr},  // a line without "="
        {"product=zolt\nproduct=zolt\nversion=1\n", nullptr, nullptr},
        {"product=zolt\nversion=1\nversion=1\n", nullptr, nullptr},
        {"product=zolt\n", nullptr, nullptr},
        {"version=1\n", nullptr, nullptr},
        {"product=\nversion=1\n", nullptr, nullptr},
        {"product=zo/lt\nversion=1\n", nullptr, nullptr},
        {"product=z\xc3\xb6lt\nversion=1\n", nullptr, nullptr},
        {"product=zolt\nversion=1.2.3.4.5\n", nullptr, nullptr},
        {"product=zolt\nversion=65536\n", nullptr, nullptr},
        {"product=zolt\nversion=000001\n", nullptr, nullptr},
        {"product=zolt\nversion=1..2\n", nullptr, nullptr},
        {"product=zolt\nversion=1.\n", nullptr, nullptr},
        {"product=zolt\nversion=v1\n", nullptr, nullptr},
        {"product=zolt\nversion=\n", nullptr, nullptr},
        {"", nullptr, nullptr},
        {"product=zolt\nversion=1\nother=" + std::string(1000, 'x') + "\n", nullptr, nullptr},  // over 1024 bytes
    };
    for (const auto& row : table) {
        KitIdentity identity;
        int result = parseKitIdentity(row.text.data(), row.text.size(), &identity);
        EXPECT_EQ(result, row.product ? KIT_ACCEPTED : KIT_BAD_IDENTITY) << row.text;
        EXPECT_STREQ(identity.product, row.product ? row.product : "") << row.text;
        EXPECT_STREQ(identity.version, row.product ? row.version : "") << row.text;
    }
    const struct {
        const char* a;
        const char* b;
        int order;
    } versions[] = {{"2.3", "2.3.0.0", 0}, {"2.3", "2.3.1", -1}, {"10", "9.65535", 1}, {"1.0.0.2", "1.0.0.1", 1}};
    for (const auto& row : versions) {
        KitIdentity a, b;
        std::string textA = std::string("product=p\nversion=") + row.a + "\n";
        std::string textB = std::string("product=p\nversion=") + row.b + "\n";
        ASSERT_EQ(parseKitIdentity(textA.data(), textA.size(), &a), KIT_ACCEPTED);
        ASSERT_EQ(parseKitIdentity(textB.data(), textB.size(), &b), KIT_ACCEPTED);
        int order = compareKitVersions(a, b);
        EXPECT_EQ(order < 0 ? -1 : order > 0 ? 1 : 0, row.order) << row.a << " " << row.b;
    }
}

TEST(KitSignature, RefusesWhatIsTooShortOrMissing)
{
    std::string signedKit = kitBytes(L"signed.rtp");
    std::string trailerOnly = signedKit.substr(signedKit.size() - KIT_TRAILER_SIZE);
    std::string zeros = std::string(KIT_LENGTH_SIZE + KIT_SIGNATURE_SIZE, '\0') + KIT_MAGIC;
    const struct {
        const char* what;
        std::string data;
        size_t length;
        int result;
    } table[] = {
        {"nothing", "", 0, KIT_NOT_SIGNED},
        {"the magic alone", KIT_MAGIC, KIT_MAGIC_SIZE, KIT_NOT_SIGNED},
        {"one byte short of a trailer", trailerOnly.substr(1), KIT_TRAILER_SIZE - 1, KIT_NOT_SIGNED},
        {"a trailer without an archive", trailerOnly, KIT_TRAILER_SIZE, KIT_BAD_SIGNATURE},
        {"a zero signature", zeros, KIT_TRAILER_SIZE, KIT_BAD_SIGNATURE},
    };
    KitIdentity identity, installed;
    for (const auto& row : table)
        EXPECT_EQ(checkKit(bytes(row.data), row.length, &identity, &installed), row.result) << row.what;
    EXPECT_EQ(checkKit(nullptr, 0, &identity, &installed), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(verifyKitSignature(nullptr, bytes(signedKit), signedKit.size(), &identity), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(strlen(KIT_MAGIC), KIT_MAGIC_SIZE);
}
