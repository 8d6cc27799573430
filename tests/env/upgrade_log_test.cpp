#include "upgrade_log.h"

#include "temp_install_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Splits the log at its stamps: every stamp ends in " VRT: ". Returns what lies between.
std::vector<std::string> stampedPieces(const std::string& log)
{
    std::vector<std::string> pieces;
    const std::string mark = " VRT: ";
    size_t at = log.find(mark);
    while (at != std::string::npos) {
        size_t next = log.find(mark, at + mark.size());
        size_t end = next;
        if (next != std::string::npos)
            end = log.rfind("\r\n", next) == std::string::npos ? next : log.rfind("\r\n", next) + 2;
        pieces.push_back(log.substr(at + mark.size(), (end == std::string::npos ? log.size() : end) - at - mark.size()));
        at = next;
    }
    return pieces;
}

}  // namespace

TEST(LogLine, WritesByTheShapeOfTheMessage)
{
    for (bool held : {false, true}) {  // held: the same bytes, all at the release
        TempInstallDir dir;
        if (held)
            holdLog();
        EXPECT_EQ(logLine("%s\n", "whole line"), 0);
        EXPECT_EQ(logLine("\n"), 0);                   // opens a stamped line
        EXPECT_EQ(logLine("%s %d ", "piece", 1), 0);   // continues it
        EXPECT_EQ(logLine("x"), 0);                    // one letter alone: no stamp
        EXPECT_EQ(logLine("dropped\f\n"), 0);          // ends it, opens the next
        EXPECT_EQ(logLine("next"), 0);
        EXPECT_EQ(logLine("\r"), 0);                   // ends it
        EXPECT_EQ(logLine(""), 0);                     // nothing
        EXPECT_EQ(logLine("y\n"), 0);
        if (held) {
            EXPECT_FALSE(dir.exists(L"upgrade.log"));
            EXPECT_EQ(releaseLog(), 0);
        }

        std::string log = dir.read(L"upgrade.log");
        std::vector<std::string> pieces = stampedPieces(log);
        ASSERT_EQ(pieces.size(), 4u) << log;
        EXPECT_EQ(pieces[0], "whole line\r\n");
        EXPECT_EQ(pieces[1], "piece 1 x\r\n");
        EXPECT_EQ(pieces[2], "next\r\n");
        EXPECT_EQ(pieces[3], "y\r\n");
        EXPECT_EQ(log.find("dropped"), std::string::npos);
        EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    }
}

TEST(LogLine, CutsLongMessagesBeforeTheirLineFeed)
{
    TempInstallDir dir;
    std::string longText(2000, 'm');
    EXPECT_EQ(logLine("%s\n", longText.c_str()), 0);
    // Cut at 1023 bytes, the message lost its LF: written unchanged, without stamp or line end.
    EXPECT_EQ(dir.read(L"upgrade.log"), std::string(LOG_MESSAGE_CAPACITY - 1, 'm'));

    TempInstallDir empty;
    EXPECT_EQ(logLine(""), 0);
    EXPECT_TRUE(empty.exists(L"upgrade.log"));  // opened, though nothing was written
    EXPECT_EQ(empty.read(L"upgrade.log"), "");
}

TEST(LogLine, RotatesAtHalfAMegabyte)
{
    TempInstallDir dir;
    std::string below(UPGRADE_LOG_LIMIT - 1, 'a');
    dir.write(L"upgrade.log", below);
    dir.write(L"upgrade_old.log", "older");
    EXPECT_EQ(logLine("b"), 0);
    EXPECT_EQ(dir.read(L"upgrade.log"), below + "b");  // 524288 bytes now, still one file
    EXPECT_EQ(dir.read(L"upgrade_old.log"), "older");

    EXPECT_EQ(logLine("c"), 0);
    EXPECT_EQ(dir.read(L"upgrade_old.log"), below + "b");  // replaced whole
    EXPECT_EQ(dir.read(L"upgrade.log"), "c");

    // Held lines beyond 64 KiB are written as they come, and rotate the log at their opening.
    dir.write(L"upgrade.log", below + "b");
    holdLog();
    std::string line(1000, 'h'), all;
    for (int i = 0; i < 70; ++i, all += line)
        EXPECT_EQ(logLine("%s", line.c_str()), 0);
    EXPECT_EQ(dir.read(L"upgrade_old.log"), below + "b");
    EXPECT_EQ(dir.read(L"upgrade.log").size(), 65u * 1000);
    EXPECT_EQ(releaseLog(), 0);
    EXPECT_EQ(dir.read(L"upgrade.log"), all);
}

TEST(LogTimeStamp, ShowsTwoHoursBeforeUtcInTheUsersFormats)
{
    std::string epoch = logTimeStamp(0);  // 1970-01-01 00:00 UTC
    EXPECT_NE(epoch.find(" Wed Dec 31, 1969 VRT"), std::string::npos) << epoch;
    EXPECT_EQ(epoch.find("10:00:00"), 0u) << epoch;
    std::string leapDay = logTimeStamp(1709214307 + 7200);  // 2024-02-29 13:45:07 after the shift
    EXPECT_NE(leapDay.find("1:45:07"), std::string::npos) << leapDay;
    EXPECT_NE(leapDay.find(" Thu Feb 29, 2024 VRT"), std::string::npos) << leapDay;
    EXPECT_LT(leapDay.size(), LOG_STAMP_CAPACITY);

    std::string now = logTimeStamp(-1);
    EXPECT_EQ(now.substr(now.size() - 4), " VRT");
    EXPECT_STREQ(logTimeStamp(-5), "");
}
