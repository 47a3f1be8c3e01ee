#include "elevard/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

using namespace elevard;

std::string int64Bytes(int64_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST(JoinCommandLineTest, QuotesOnlyWhatTheServiceCanRead) {
    struct Case {
        std::vector<std::string> words;
        const char* line;  // nullptr: refused
    };
    const Case cases[] = {
        {{"help"}, "help"},
        {{"exists", "/tmp"}, "exists /tmp"},
        {{"mkdir", "/tmp/a b"}, "mkdir '/tmp/a b'"},
        {{"mkdir", "/tmp/a\tb"}, "mkdir '/tmp/a\tb'"},
        {{"mkdir", "/tmp/a\nb"}, "mkdir '/tmp/a\nb'"},
        {{"mv", "it's", "/x y"}, "mv it's '/x y'"},
        {{"mount", "//s/x", "/tmp/m", "", "pw"}, "mount //s/x /tmp/m '' pw"},
        {{"chown", "/p", "1", "2", "yes"}, "chown /p 1 2 yes"},
        {{"mkdir", "\xc3\xa9t\xc3\xa9"}, "mkdir \xc3\xa9t\xc3\xa9"},
        {{"mkdir", "it's here"}, nullptr},
        {{"mkdir", "'abc"}, nullptr},
        {{"my cmd", "x"}, nullptr},
        {{"", "x"}, nullptr},
        {{}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line != nullptr ? c.line : "refused");
        std::string error;
        std::optional<std::string> line = joinCommandLine(c.words, &error);
        if (c.line == nullptr) {
            EXPECT_FALSE(line.has_value()) << *line;
            EXPECT_FALSE(error.empty());
        } else {
            ASSERT_TRUE(line.has_value()) << error;
            EXPECT_EQ(*line, c.line);
        }
    }
}

TEST(LeadingNumberTest, ConvertsLikeTheService) {
    struct Case {
        const char* word;
        std::optional<long> value;
    };
    const Case cases[] = {
        {"4096", 4096},
        {" 12", 12},
        {"12abc", 12},
        {"-5", -5},
        {"+7", 7},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(leadingNumber(c.word), c.value);
    }
}

// Entries as "path|size|isdir;" for comparing whole listings at once; "refused" for nullopt.
std::string describe(const std::optional<std::vector<ListEntry>>& entries) {
    if (!entries) {
        return "refused";
    }
    std::string text;
    for (const ListEntry& e : *entries) {
        text += e.path + "|" + std::to_string(e.size) + "|" + (e.isDirectory ? "1" : "0") + ";";
    }
    return text;
}

TEST(DecodeListTest, TakesEachEntryWholeEvenWithCommasInItsPath) {
    struct Case {
        std::string payload;
        const char* entries;
    };
    const Case cases[] = {
        {"/d/a.mkv,1234,0,/d/s,0,1,", "/d/a.mkv|1234|0;/d/s|0|1;"},
        {"", ""},
        {"/d/a,b,5,0,", "/d/a,b|5|0;"},
        {"/d/1,2,3,0,", "/d/1,2|3|0;"},  // the first split that fits the fields
        {"/d/a,-1,0,", "/d/a|-1|0;"},
        {"/d/a,5,0,/d/b,7", "refused"},
        {"/d/a,5,2,", "refused"},
        {"/d/a,,0,", "refused"},
        {"/d/a", "refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(describe(decodeList(c.payload)), c.entries);
    }
}

TEST(DecodeRecordsTest, StatusAndMemoryModules) {
    std::string record(16, '\0');
    record[0] = 1;
    int32_t type = 1;
    std::memcpy(record.data() + 4, &type, sizeof type);
    std::memcpy(record.data() + 8, int64Bytes(4096).data(), 8);
    std::optional<FileStatus> status = decodeStatus(record);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->exists);
    EXPECT_EQ(status->type, FileType::directory);
    EXPECT_EQ(status->size, 4096);
    EXPECT_FALSE(decodeStatus(record.substr(0, 15)).has_value());

    struct Case {
        std::string payload;
        const char* decoded;  // "parts|serials", or nullptr when refused
    };
    const Case cases[] = {
        {int64Bytes(4) + "M1M2" + int64Bytes(6) + "S1S2S3", "M1M2|S1S2S3"},
        {int64Bytes(0) + int64Bytes(0), "|"},
        {"", nullptr},
        {int64Bytes(2) + "M1", nullptr},
        {int64Bytes(99) + "M1", nullptr},
        {int64Bytes(-1) + int64Bytes(0), nullptr},
        {int64Bytes(1) + "a" + int64Bytes(1) + "b" + "x", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.decoded != nullptr ? c.decoded : "refused");
        std::optional<MemoryModules> modules = decodeMemoryModules(c.payload);
        EXPECT_EQ(modules ? modules->partNumbers + "|" + modules->serialNumbers : "refused",
                  c.decoded != nullptr ? c.decoded : "refused");
    }
}

TEST(KnownCommandsTest, UsageTextsMatchTheRequiredCounts) {
    std::set<std::string> names;
    for (const CommandInfo& info : knownCommands()) {
        SCOPED_TRACE(info.name);
        EXPECT_TRUE(names.insert(info.name).second) << "listed twice";
        std::string arguments = info.arguments;
        EXPECT_EQ(std::count(arguments.begin(), arguments.end(), '<'), info.requiredArguments);
    }
    EXPECT_EQ(names.size(), 19u);
    EXPECT_EQ(findCommand("MKDIR"), nullptr);
}

}  // namespace
