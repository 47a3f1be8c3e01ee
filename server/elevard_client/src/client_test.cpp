#include "client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

namespace {

using namespace elevard_client;

std::string int64Bytes(int64_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string statRecord(uint8_t exists, int32_t type, int64_t size) {
    std::string record(16, '\0');
    record[0] = static_cast<char>(exists);
    std::memcpy(record.data() + 4, &type, sizeof type);
    std::memcpy(record.data() + 8, &size, sizeof size);
    return record;
}

std::string dmiRecords(const std::string& parts, const std::string& serials) {
    return int64Bytes(static_cast<int64_t>(parts.size())) + parts +
           int64Bytes(static_cast<int64_t>(serials.size())) + serials;
}

const CommandInfo& command(const char* name) {
    const CommandInfo* info = findCommand(name);
    EXPECT_NE(info, nullptr) << name;
    return *info;
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
        {{"mkdir", "'"}, nullptr},
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

TEST(ParseOptionsTest, ReadsOptionsBeforeTheCommandOnly) {
    struct Case {
        std::vector<const char*> argv;
        bool ok;
        const char* socket;
        bool raw;
        bool cat;
        bool help;
        std::vector<std::string> words;
    };
    const char* defaultPath = kDefaultSocketPath;
    const Case cases[] = {
        {{"c", "exists", "/tmp"}, true, defaultPath, false, false, false, {"exists", "/tmp"}},
        {{"c", "--socket", "/s", "--raw", "stat", "/x"},
         true,
         "/s",
         true,
         false,
         false,
         {"stat", "/x"}},
        {{"c", "--socket=/t", "--cat", "open", "/f", "0"},
         true,
         "/t",
         false,
         true,
         false,
         {"open", "/f", "0"}},
        {{"c", "mkdir", "--raw"}, true, defaultPath, false, false, false, {"mkdir", "--raw"}},
        {{"c", "--", "--odd", "x"}, true, defaultPath, false, false, false, {"--odd", "x"}},
        {{"c", "--help"}, true, defaultPath, false, false, true, {}},
        {{"c", "-h", "list"}, true, defaultPath, false, false, true, {"list"}},
        {{"c"}, false, "", false, false, false, {}},
        {{"c", "--raw"}, false, "", false, false, false, {}},
        {{"c", "--socket"}, false, "", false, false, false, {}},
        {{"c", "--bogus", "help"}, false, "", false, false, false, {}},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const char* arg : c.argv) {
            trace += std::string(arg) + " ";
        }
        SCOPED_TRACE(trace);
        std::string error;
        std::optional<Options> options =
            parseOptions(static_cast<int>(c.argv.size()), c.argv.data(), &error);
        ASSERT_EQ(options.has_value(), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(options->socketPath, c.socket);
        EXPECT_EQ(options->raw, c.raw);
        EXPECT_EQ(options->cat, c.cat);
        EXPECT_EQ(options->help, c.help);
        EXPECT_EQ(options->words, c.words);
    }
}

TEST(DecodeIntegerTest, JudgesEachCommandAsTheServiceDoes) {
    struct Case {
        std::vector<std::string> words;
        long value;
        int status;
    };
    const Case cases[] = {
        {{"mkdir", "/a"}, 1, kSuccess},
        {{"mkdir", "/a"}, 0, kFailure},
        {{"rm", "/a"}, 1, kSuccess},
        {{"chown", "/a", "1", "2"}, 0, kFailure},
        {{"mv", "/a", "/b"}, 1, kSuccess},
        {{"exists", "/a"}, 0, kFailure},
        {{"exists", "/a"}, 2, kFailure},
        {{"mount", "//s/x", "/tmp/m"}, 0, kSuccess},
        {{"mount", "//s/x", "/tmp/m"}, 1, kFailure},
        {{"umount", "/tmp/m"}, 4, kFailure},
        {{"unmount", "/tmp/m"}, 0, kSuccess},
        {{"freeSpace", "/"}, 0, kFailure},
        {{"freeSpace", "/"}, -1, kFailure},
        {{"totalSpace", "/"}, 1 << 30, kSuccess},
        {{"size", "/f"}, 0, kSuccess},
        {{"size", "/f"}, -1, kFailure},
        {{"setFdLimit", "1234", "4096"}, 4096, kSuccess},
        {{"setFdLimit", "1234", "4096"}, 1024, kFailure},
        {{"setFdLimit", "1234", " +77x"}, 77, kSuccess},
        {{"setFdLimit", "1234", "-1"}, -1, kSuccess},
        {{"setFdLimit", "1234", "abc"}, 0, kFailure},
        {{"setFdLimit", "1234", "4294967296"}, 0, kFailure},
        {{"setFdLimit", "1234"}, 4096, kFailure},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + std::to_string(c.value));
        Outcome outcome = decodeInteger(command(c.words[0].c_str()), c.words, c.value);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, std::to_string(c.value) + "\n");
        EXPECT_EQ(outcome.err, "");
    }
}

TEST(DecodeBufferTest, PrintsEachReplyKind) {
    struct Case {
        const char* name;
        const char* command;
        std::string payload;
        int status;
        std::string out;
        bool err;  // something on standard error
    };
    const Case cases[] = {
        {"stat directory", "stat", statRecord(1, 1, 4096), kSuccess,
         "exists=1 type=directory size=4096\n", false},
        {"stat file", "stat", statRecord(1, 0, 12), kSuccess, "exists=1 type=file size=12\n",
         false},
        {"stat missing", "stat", statRecord(0, 2, -1), kSuccess, "exists=0 type=other size=-1\n",
         false},
        {"stat odd type", "stat", statRecord(1, 7, 0), kSuccess, "exists=1 type=7 size=0\n", false},
        {"stat short", "stat", statRecord(1, 1, 4096).substr(0, 15), kNoReply, "", true},
        {"stat empty", "stat", "", kNoReply, "", true},
        {"list two", "list", "/data/a.mkv,1234,0,/data/sub,0,1,", kSuccess,
         "/data/a.mkv\t1234\t0\n/data/sub\t0\t1\n", false},
        {"list empty", "list", "", kSuccess, "", false},
        {"list comma in path", "list", "/d/a,b,5,0,", kSuccess, "/d/a\tb\t5\n", true},
        {"list cut short", "list", "/d/a,5,0,/d/b,7", kSuccess, "/d/a\t5\t0\n", true},
        {"device", "devicePath", "/dev/sda1", kSuccess, "/dev/sda1\n", false},
        {"device empty", "devicePath", "", kFailure, "", true},
        {"dmi", "dmiInfo", dmiRecords("M1M2", "S1S2S3"), kSuccess, "M1M2\nS1S2S3\n", false},
        {"dmi empty sets", "dmiInfo", dmiRecords("", ""), kSuccess, "\n\n", false},
        {"dmi failed", "dmiInfo", "", kFailure, "", true},
        {"dmi one record", "dmiInfo", int64Bytes(2) + "M1", kNoReply, "", true},
        {"dmi overlong", "dmiInfo", int64Bytes(99) + "M1", kNoReply, "", true},
        {"dmi negative", "dmiInfo", int64Bytes(-1) + int64Bytes(0), kNoReply, "", true},
        {"dmi trailing", "dmiInfo", dmiRecords("a", "b") + "x", kNoReply, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = decodeBuffer(command(c.command), c.payload);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(!outcome.err.empty(), c.err) << outcome.err;
    }
}

TEST(JudgeRawTest, ShowsHexAndJudgesLikeTheDecoder) {
    struct Case {
        const char* name;
        std::vector<std::string> words;
        std::string stream;
        int status;
    };
    const Case cases[] = {
        {"int success", {"mkdir", "/a"}, int64Bytes(8) + int64Bytes(1), kSuccess},
        {"int failure", {"mkdir", "/a"}, int64Bytes(8) + int64Bytes(0), kFailure},
        {"int wrong length", {"mkdir", "/a"}, int64Bytes(4) + "abcd", kNoReply},
        {"int cut short", {"mkdir", "/a"}, int64Bytes(8) + "abc", kNoReply},
        {"nothing", {"size", "/a"}, "", kNoReply},
        {"buffer", {"devicePath", "/"}, int64Bytes(3) + "/d1", kSuccess},
        {"empty buffer", {"devicePath", "/"}, int64Bytes(0), kFailure},
        {"empty list", {"list", "/"}, int64Bytes(0), kSuccess},
        {"trailing bytes", {"list", "/"}, int64Bytes(0) + "x", kNoReply},
        {"no reply expected", {"help"}, "", kSuccess},
        {"unexpected reply", {"install", "/p.deb"}, "zz", kSuccess},
        {"unknown with bytes", {"frob"}, "abc", kSuccess},
        {"unknown without bytes", {"frob"}, "", kNoReply},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = judgeRaw(findCommand(c.words[0]), c.words, c.stream);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(outcome.out, hexDump(c.stream));
    }
}

TEST(HexDumpTest, SixteenPairsPerLine) {
    EXPECT_EQ(hexDump(""), "");
    EXPECT_EQ(hexDump(std::string("\x00\x7f\x80\xff", 4)), "00 7f 80 ff\n");
    EXPECT_EQ(hexDump(int64Bytes(8) + int64Bytes(1) + "A"),
              "08 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00\n41\n");
}

TEST(SingleMessagePayloadTest, AcceptsExactlyOneWholeMessage) {
    struct Case {
        const char* name;
        std::string stream;
        std::optional<std::string> payload;
    };
    const Case cases[] = {
        {"text", int64Bytes(3) + "abc", "abc"},
        {"empty", int64Bytes(0), ""},
        {"short length", "abc", std::nullopt},
        {"cut short", int64Bytes(4) + "abc", std::nullopt},
        {"trailing", int64Bytes(2) + "abc", std::nullopt},
        {"negative", int64Bytes(-1), std::nullopt},
        {"huge", int64Bytes(INT64_MAX) + "a", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(singleMessagePayload(c.stream), c.payload);
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

TEST(KnownCommandsTest, UsageTextsMatchTheRequiredCounts) {
    std::set<std::string> names;
    for (const CommandInfo& info : knownCommands()) {
        SCOPED_TRACE(info.name);
        EXPECT_TRUE(names.insert(info.name).second) << "listed twice";
        std::string arguments = info.arguments;
        EXPECT_EQ(std::count(arguments.begin(), arguments.end(), '<'), info.requiredArguments);
        EXPECT_NE(helpText().find(std::string("  ") + info.name), std::string::npos);
    }
    EXPECT_EQ(names.size(), 19u);
    EXPECT_EQ(findCommand("MKDIR"), nullptr);
}

}  // namespace
