#include "elevard/wire/replies.h"

#include <gtest/gtest.h>

#include <climits>

namespace elevard {

// Found by argument-dependent lookup, so beside the types.
static bool operator==(const FileStatus& a, const FileStatus& b) {
    return a.exists == b.exists && a.type == b.type && a.size == b.size;
}

static bool operator==(const ListEntry& a, const ListEntry& b) {
    return a.path == b.path && a.size == b.size && a.isDirectory == b.isDirectory;
}

static bool operator==(const MemoryModules& a, const MemoryModules& b) {
    return a.partNumbers == b.partNumbers && a.serialNumbers == b.serialNumbers;
}

namespace wire {
namespace {

// Every reply kind: what the service encodes, the clients decode to the same value, and each
// decoder refuses a payload of the wrong shape.
TEST(RepliesTest, EncodeThenDecodeGivesTheValueBack) {
    for (std::int64_t value : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1},
                               std::int64_t{LLONG_MIN}, std::int64_t{LLONG_MAX}}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(decodeInteger(encodeInteger(value)), value);
        EXPECT_EQ(decodeMessage(encodeMessage(encodeInteger(value))), encodeInteger(value));
    }
    for (const FileStatus& status :
         {FileStatus{true, FileType::directory, 4096}, FileStatus{false, FileType::other, -1},
          FileStatus{true, FileType::regularFile, LLONG_MAX}}) {
        SCOPED_TRACE(status.size);
        EXPECT_EQ(encodeStatus(status).size(), 16u);
        EXPECT_EQ(decodeStatus(encodeStatus(status)), status);
    }
    const std::vector<ListEntry> listings[] = {
        {},
        {{"/srv/a", 12, false}, {"/srv/b", 0, true}},
        {{"/srv/a,b", -3, false}, {"/srv/,,1,", 7, true}, {"", 0, false}},
    };
    for (const std::vector<ListEntry>& entries : listings) {
        SCOPED_TRACE(encodeList(entries));
        EXPECT_EQ(decodeList(encodeList(entries)), entries);
    }
    for (const MemoryModules& modules :
         {MemoryModules{"M1M2", "S1S2"}, MemoryModules{"", "S"}, MemoryModules{"", ""}}) {
        SCOPED_TRACE(modules.partNumbers);
        EXPECT_EQ(decodeMemoryModules(encodeMemoryModules(modules)), modules);
    }
    for (const std::string& payload : {std::string(), std::string("x"), std::string(300, 'z')}) {
        EXPECT_EQ(decodeMessage(encodeMessage(payload)), payload);
    }
}

TEST(RepliesTest, DecodersRefuseMalformedPayloads) {
    const std::string eight = encodeInteger(5);
    EXPECT_FALSE(decodeInteger(eight.substr(0, 7)));
    EXPECT_FALSE(decodeInteger(eight + "x"));
    EXPECT_FALSE(decodeStatus(std::string(15, '\0')));
    EXPECT_FALSE(decodeStatus(std::string(17, '\0')));
    for (const char* listing : {"/a,1,0", "/a,1,2,", "/a,,0,", "/a,x,1,", "/a,1,0,/b", ","}) {
        SCOPED_TRACE(listing);
        EXPECT_FALSE(decodeList(listing));
    }
    const std::string modules = encodeMemoryModules({"part", "serial"});
    const std::string negative = encodeInteger(-1) + encodeInteger(0);
    const std::string tooLong = encodeInteger(LLONG_MAX) + "x";
    for (const std::string& payload :
         {std::string(), modules.substr(0, modules.size() - 1), modules + "x", negative, tooLong,
          modules.substr(0, 8 + 4)}) {
        SCOPED_TRACE(payload.size());
        EXPECT_FALSE(decodeMemoryModules(payload));
    }
    const std::string message = encodeMessage("abc");
    for (const std::string& stream :
         {std::string("1234567"), message.substr(0, 10), message + "x", encodeInteger(-1)}) {
        SCOPED_TRACE(stream.size());
        EXPECT_FALSE(decodeMessage(stream));
    }
}

}  // namespace
}  // namespace wire
}  // namespace elevard
