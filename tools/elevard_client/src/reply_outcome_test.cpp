#include "reply_outcome.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "client_test_words.h"
#include "json_output.h"
#include "velk_testing/messages.h"

namespace {

using namespace elevard_client;
using elevard::CommandInfo;
using elevard::findCommand;
using velk::testing::bufferMessage;
using velk::testing::integerMessage;
using velk::testing::lengthField;
using velk::testing::statRecord;

using test::command;
using test::words;

TEST(DecodeIntegerTest, JudgesEachCommandAsTheServiceDoes) {
    struct Case {
        const char* line;
        std::vector<long> success;
        std::vector<long> failure;
    };
    const Case cases[] = {
        {"mkdir /a", {1}, {0, 2, -1}},
        {"rm /a", {1}, {0}},
        {"chown /a 1 2", {1}, {0}},
        {"mv /a /b", {1}, {0}},
        {"exists /a", {1}, {0, 2}},
        {"mount //s/x /m", {0}, {1, 2}},
        {"umount /m", {0}, {4}},
        {"unmount /m", {0}, {1}},
        {"freeSpace /", {1}, {0, -1}},
        {"totalSpace /", {1 << 30}, {0}},
        {"size /f", {0, 7}, {-1}},
        // setFdLimit: the reply must equal the limit asked for, read as the service reads
        // numbers; the service answers its own soft limit when it could not set that one.
        {"setFdLimit 1234 4096", {4096}, {1024, 0}},
        {"setFdLimit 1234 +77x", {77}, {0}},
        {"setFdLimit 1234 -1", {}, {-1, 0}},
        {"setFdLimit 1234 abc", {}, {0}},
        {"setFdLimit 1234", {}, {4096, 0}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> line = words(c.line);
        for (int status : {kSuccess, kFailure}) {
            for (long value : status == kSuccess ? c.success : c.failure) {
                SCOPED_TRACE(std::string(c.line) + " answered " + std::to_string(value));
                Outcome outcome = decodeInteger(command(line[0]), line, value);
                EXPECT_EQ(outcome.status, status);
                // Result codes come with their names: "busy (1)".
                std::string number = std::to_string(value);
                EXPECT_TRUE(outcome.out == number + "\n" ||
                            outcome.out.ends_with(" (" + number + ")\n"))
                    << outcome.out;
                EXPECT_EQ(outcome.err, "");
            }
        }
    }
}

TEST(DecodeIntegerTest, NamesResultCodesAndRefusesOthers) {
    const std::pair<const char*, std::string> cases[] = {
        {"mount 1", "permissionDenied (1)\n"},
        {"umount 4", "notMounted (4)\n"},
        {"mount 3", "malformed"},
        {"unmount -1", "malformed"},
    };
    for (const auto& [line, shown] : cases) {
        SCOPED_TRACE(line);
        std::vector<std::string> split = words(line);
        Outcome outcome = decodeInteger(command(split[0]), split, std::stol(split[1]));
        EXPECT_EQ(outcome.status == kNoReply ? "malformed" : outcome.out, shown);
    }
}

// Every reply, and every failure to get one, is one JSON object a script can read.
TEST(JsonOutputTest, EachOutcomeIsOneObject) {
    using elevard::ClientError;
    struct Case {
        const char* name;
        Outcome outcome;
        std::string json;
    };
    const Case cases[] = {
        {"stat", decodeBuffer(command("stat"), statRecord(1, 1, 80)),
         R"({"command":"stat","exists":true,"type":"directory","size":80,"success":true})"},
        {"list", decodeBuffer(command("list"), "/d/\"q\",1,0,/d/\x01\xff\xc3\xa9,0,1,"),
         R"({"command":"list","entries":[{"path":"/d/\"q\"","size":1,"isDirectory":false},)"
         R"({"path":"/d/\u0001\udcff)"
         "\xc3\xa9"
         R"(","size":0,"isDirectory":true}],)"
         R"("success":true})"},
        {"mount", decodeInteger(command("mount"), words("mount //s/x /m"), 1),
         R"({"command":"mount","value":1,"result":"permissionDenied","success":false})"},
        {"exists", decodeInteger(command("exists"), words("exists /a"), 1),
         R"({"command":"exists","value":1,"success":true})"},
        {"devicePath", decodeBuffer(command("devicePath"), ""),
         R"({"command":"devicePath","devicePath":"","success":false})"},
        {"size", noReply(ClientError::timedOut, "no reply within 5 s"),
         R"({"command":"size","error":"timedOut","message":"no reply within 5 s"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(jsonObject(c.name, c.outcome.json), c.json + "\n");
    }
}

TEST(NoReplyTest, RefusedPermissionNamesTheGroup) {
    Outcome refused = noReply(elevard::ClientError::notConnected,
                              "cannot connect to /s: " + std::string(std::strerror(EACCES)));
    EXPECT_EQ(refused.status, kNoReply);
    EXPECT_NE(refused.err.find("members of the group quorvath"), std::string::npos) << refused.err;
    Outcome missing = noReply(elevard::ClientError::notConnected,
                              "cannot connect to /s: " + std::string(std::strerror(ENOENT)));
    EXPECT_EQ(missing.err.find("quorvath"), std::string::npos) << missing.err;
}

TEST(DecodeBufferTest, PrintsEachReplyKind) {
    struct Case {
        const char* name;  // the command, then what the case is about
        std::string payload;
        int status;
        std::string out;
        bool err;  // something on standard error
    };
    const Case cases[] = {
        {"stat dir", statRecord(1, 1, 4096), kSuccess, "exists=1 type=directory size=4096\n", 0},
        {"stat file", statRecord(1, 0, 12), kSuccess, "exists=1 type=file size=12\n", 0},
        {"stat missing", statRecord(0, 2, -1), kSuccess, "exists=0 type=other size=-1\n", 0},
        {"stat odd type", statRecord(1, 7, 0), kSuccess, "exists=1 type=7 size=0\n", 0},
        {"stat short", statRecord(1, 1, 4096).substr(0, 15), kNoReply, "", 1},
        {"list two", "/d/a.mkv,1234,0,/d/s,0,1,", kSuccess, "/d/a.mkv\t1234\t0\n/d/s\t0\t1\n", 0},
        {"list empty", "", kSuccess, "", 0},
        {"list comma in path", "/d/a,b,5,0,/d/1,2,3,0,", kSuccess, "/d/a,b\t5\t0\n/d/1,2\t3\t0\n",
         0},
        {"list negative size", "/d/a,-1,0,", kSuccess, "/d/a\t-1\t0\n", 0},
        {"list bad flag", "/d/a,5,2,", kNoReply, "", 1},
        {"list cut short", "/d/a,5,0,/d/b,7", kNoReply, "", 1},
        {"devicePath", "/dev/sda1", kSuccess, "/dev/sda1\n", 0},
        {"devicePath empty", "", kFailure, "", 1},
        {"dmiInfo", bufferMessage("M1M2") + bufferMessage("S1S2S3"), kSuccess, "M1M2\nS1S2S3\n", 0},
        {"dmiInfo empty sets", bufferMessage("") + bufferMessage(""), kSuccess, "\n\n", 0},
        {"dmiInfo failed", "", kFailure, "", 1},
        {"dmiInfo one record", lengthField(2) + "M1", kNoReply, "", 1},
        {"dmiInfo overlong", lengthField(99) + "M1", kNoReply, "", 1},
        {"dmiInfo negative", lengthField(-1) + lengthField(0), kNoReply, "", 1},
        {"dmiInfo trailing", bufferMessage("a") + bufferMessage("b") + "x", kNoReply, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = decodeBuffer(command(words(c.name)[0]), c.payload);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(!outcome.err.empty(), c.err) << outcome.err;
    }
}

// The raw stream must be exactly one whole message of the right kind to be judged by the
// decoder; anything else is no usable reply.
TEST(JudgeRawTest, ShowsHexAndJudgesLikeTheDecoder) {
    struct Case {
        const char* name;
        const char* line;
        std::string stream;
        int status;
    };
    const Case cases[] = {
        {"int success", "mkdir /a", integerMessage(1), kSuccess},
        {"int failure", "mkdir /a", integerMessage(0), kFailure},
        {"int wrong length", "mkdir /a", lengthField(4) + "abcd", kNoReply},
        {"int cut short", "mkdir /a", lengthField(8) + "abc", kNoReply},
        {"nothing", "size /a", "", kNoReply},
        {"buffer", "devicePath /", bufferMessage("/d1"), kSuccess},
        {"empty buffer", "devicePath /", lengthField(0), kFailure},
        {"empty list", "list /", lengthField(0), kSuccess},
        {"trailing bytes", "list /", lengthField(0) + "x", kNoReply},
        {"short length", "list /", "abc", kNoReply},
        {"length overflows", "list /", lengthField(INT64_MAX) + "a", kNoReply},
        {"no reply expected", "help", "", kNotVisible},
        {"unexpected reply", "install /p.deb", "zz", kNotVisible},
        {"unknown with bytes", "frob", "abc", kSuccess},
        {"unknown without bytes", "frob", "", kNoReply},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> line = words(c.line);
        Outcome outcome = judgeRaw(findCommand(line[0]), line, c.stream);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(outcome.out, hexDump(c.stream));
    }
}

TEST(HexDumpTest, SixteenPairsPerLine) {
    EXPECT_EQ(hexDump(""), "");
    EXPECT_EQ(hexDump(std::string("\x00\x7f\x80\xff", 4)), "00 7f 80 ff\n");
    EXPECT_EQ(hexDump(integerMessage(1) + "A"),
              "08 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00\n41\n");
}

}  // namespace
