// The kit check, with the test key built in, on the kits the fixture made with the vendor
// scripts and on made-up edge cases.
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
    };
    ASSERT_NE(kitPublicKey(), nullptr);
    for (const auto& row : table) {
        std::string kit = kitBytes(row.kit);
        ASSERT_FALSE(kit.empty()) << utf8(row.kit);
        EXPECT_EQ(checkKitSignature(bytes(kit), kit.size()), row.result) << utf8(row.kit);
    }
}

TEST(KitSignature, RefusesWhatIsTooShortOrMissing)
{
    std::string signedKit = kitBytes(L"signed.rtp");
    std::string trailerOnly = signedKit.substr(signedKit.size() - KIT_TRAILER_SIZE);
    std::string zeros = std::string(KIT_SIGNATURE_SIZE, '\0') + KIT_MAGIC;
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
    for (const auto& row : table)
        EXPECT_EQ(checkKitSignature(bytes(row.data), row.length), row.result) << row.what;
    EXPECT_EQ(checkKitSignature(nullptr, 0), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(verifyKitSignature(nullptr, bytes(signedKit), signedKit.size()), RESULT_MISSING_ARGUMENT);
    EXPECT_EQ(strlen(KIT_MAGIC), KIT_MAGIC_SIZE);
}
