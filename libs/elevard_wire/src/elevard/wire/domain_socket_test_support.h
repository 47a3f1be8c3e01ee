#pragma once

// What the tests of the sending and the reading end of the framing share: a connected socket
// pair, the wire form of an integer, a growing destination for readBuffer and a fixture that
// checks that each test leaves no descriptor open.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>

#include "velk/kit/scoped_fd.h"

namespace domain_socket_testing {

using velk::kit::ScopedFd;

// Open descriptors of this process (the count includes the one that reads the folder).
inline int openDescriptorCount() {
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

struct SocketPair {
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            near.reset(fds[0]);
            far.reset(fds[1]);
        }
    }
    ScopedFd near;  // the end the code under test uses
    ScopedFd far;   // the peer, driven by the test with raw system calls
};

inline std::string int64Bytes(int64_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

inline bool sameFile(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

struct GrowTarget {
    std::string text;
    int calls = 0;
    long lastLength = 0;
    bool refuse = false;
};

inline void* growString(void* context, long length) {
    auto* target = static_cast<GrowTarget*>(context);
    ++target->calls;
    target->lastLength = length;
    if (target->refuse) {
        return nullptr;
    }
    target->text.resize(static_cast<size_t>(length));
    return target->text.data();
}

// Every test checks that it leaves no descriptor open behind it.
class DomainSocketTest : public ::testing::Test {
protected:
    void SetUp() override { before_ = openDescriptorCount(); }
    void TearDown() override { EXPECT_EQ(openDescriptorCount(), before_) << "descriptor leak"; }

private:
    int before_ = 0;
};

}  // namespace domain_socket_testing
