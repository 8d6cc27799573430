#include "request_setup.h"

#include "product_hosts.h"
#include "system_survey.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::wstring CURRENT = UPDATER_TRUSTED_DOMAIN;
const std::wstring LEGACY = UPDATER_LEGACY_TRUSTED_DOMAIN;

}  // namespace

TEST(RequestSetup, TrustedAddressesGoOverHttps)
{
    const struct {
        std::wstring stored;
        bool trusted;
        std::wstring full;
    } table[] = {
        {L"https://" + CURRENT + L"/kit.rtp", true, L"https://" + CURRENT + L"/kit.rtp"},
        {L"HTTPS://" + LEGACY + L"/kit.rtp", true, L"HTTPS://" + LEGACY + L"/kit.rtp"},
        // A subdomain without a scheme: the dot probe finds it.
        {L"update." + CURRENT + L"/kit.rtp", true, L"https://update." + CURRENT + L"/kit.rtp"},
        {L"HTTP://" + LEGACY + L"/kit.rtp", true, L"https://" + LEGACY + L"/kit.rtp"},
        {L"http://" + CURRENT + L"/kit.rtp", true, L"https://" + CURRENT + L"/kit.rtp"},
        // The stored form of a lower-case "http://" and a bare domain: nothing says trusted.
        {CURRENT + L"/kit.rtp", false, L"http://" + CURRENT + L"/kit.rtp"},
        // The dot probe counts anywhere in the address, in its exact case.
        {L"https://other.example/." + CURRENT + L"/", true, L"https://other.example/." + CURRENT + L"/"},
        {L"update." + CURRENT + L"X/kit", false, L"http://update." + CURRENT + L"X/kit"},
        // Other hosts keep their scheme, or get plain HTTP.
        {L"other.example/kit.rtp", false, L"http://other.example/kit.rtp"},
        {L"http://other.example/kit.rtp", false, L"http://other.example/kit.rtp"},
        {L"HTTPS://other.example/kit.rtp", false, L"HTTPS://other.example/kit.rtp"},
    };
    for (const auto& row : table) {
        bool trusted = isTrustedAddress(row.stored.c_str());
        EXPECT_EQ(trusted, row.trusted) << row.stored;
        wchar_t full[FULL_ADDRESS_CAPACITY];
        buildFullAddress(row.stored.c_str(), trusted, full, FULL_ADDRESS_CAPACITY);
        EXPECT_EQ(std::wstring(full), row.full) << row.stored;
    }
}

TEST(RequestSetup, UserAgentsNameTheProductAndTheSystem)
{
    osMajorVersion = 10;
    osMinorVersion = 0;
    buildUserAgents(0.0f, 0);
    EXPECT_STREQ(productUserAgent(), L"Vornhollow/0.0+(0)");
    EXPECT_STREQ(genericUserAgent(), L"Mozilla/5.0 (Windows NT 10.0; Win32; amd64;  )");

    osMajorVersion = 0x106;  // only the low 8 bits count
    osMinorVersion = 1;
    buildUserAgents(1.5f, 7);
    EXPECT_STREQ(productUserAgent(), L"Mozilla/5.0 (Windows NT 6.1; Win32; amd64;  Vornhollow/1.5.7)");
    EXPECT_STREQ(genericUserAgent(), L"Mozilla/5.0 (Windows NT 6.1; Win32; amd64;  )");

    osMajorVersion = 0;  // before the survey
    osMinorVersion = 0;
    buildUserAgents(0.0f, 3);
    EXPECT_STREQ(productUserAgent(), L"Mozilla/5.0 (Windows NT 0.0; Win32; amd64;  Vornhollow/0.0.3)");
}
