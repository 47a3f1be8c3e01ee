// The typed calls against the built elevard in a private mount namespace, and the reply shapes
// and failures against a stand-in that answers one connection as each case scripts.
#include "elevard/client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <tuple>

#include "elevard/wire/domain_socket.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"
#include "velk_testing/service_in_namespace.h"

namespace {

using namespace std::chrono_literals;
using elevard::ClientError;
using velk::kit::ScopedFd;
namespace ds = elevard::wire;

TEST(ClientLibraryTest, EachCallReachesTheService) {
    std::string error;
    ASSERT_TRUE(velk::testing::enterServiceNamespace(ELEVARD_BINARY, &error)) << error;
    velk::testing::ScratchDir scratch;
    const std::string S = scratch.path() + "/";
    ASSERT_TRUE(scratch.write("f", "hello"));
    velk::testing::RunningChild sleeper;
    velk::testing::RunningChild service;
    ASSERT_TRUE(sleeper.start({"/bin/sleep", "60"}));
    ASSERT_TRUE(velk::testing::startService(ELEVARD_BINARY, {}, &service, &error)) << error;
    // The start-up line comes before the socket.
    ASSERT_TRUE(velk::testing::connectWhenListening(elevard::kDefaultSocketPath).valid());
    elevard::Client client;

    EXPECT_TRUE(client.makeDirectory(S + "a dir").value());
    EXPECT_FALSE(client.makeDirectory("/usr/elevard-test").value());
    EXPECT_TRUE(client.exists(S + "a dir").value());
    EXPECT_TRUE(client.changeOwner(S + "f", 7, 8, true).value());
    struct stat info {};
    ASSERT_EQ(stat((S + "f").c_str(), &info), 0);
    EXPECT_EQ(std::tuple(info.st_uid, info.st_gid), std::tuple(7u, 8u));
    EXPECT_TRUE(client.rename(S + "f", S + "a dir/g").value());
    elevard::Reply<elevard::FileDescriptor> opened = client.open(S + "new", 66);
    ASSERT_TRUE(opened) << opened.message();
    ASSERT_EQ(write(opened.value().get(), "through", 7), 7);
    std::ifstream written(S + "new");
    EXPECT_EQ(std::string(std::istreambuf_iterator(written), {}), "through");
    EXPECT_GT(client.freeSpace(S).value(), 0);
    EXPECT_GE(client.totalSpace(S).value(), client.freeSpace(S).value());
    elevard::FileStatus status = client.stat(S + "a dir/g").value();
    EXPECT_EQ(std::tuple(status.exists, status.type, status.size),
              std::tuple(true, elevard::FileType::regularFile, 5));
    std::vector<elevard::ListEntry> entries = client.list(S + "a dir").value();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::tuple(entries[0].path, entries[0].size, entries[0].isDirectory),
              std::tuple(S + "a dir/g", 5, false));
    EXPECT_EQ(client.devicePath(S).value(), "");  // tmpfs is no block device
    EXPECT_EQ(client.size(S + "a dir/g").value(), 5);
    EXPECT_EQ(client.setFdLimit(sleeper.pid(), 512).value(), 512);
    EXPECT_TRUE(client.removePath(S + "a dir").value());
    EXPECT_FALSE(client.exists(S + "a dir").value());
    EXPECT_TRUE(client.help().ok());
    EXPECT_TRUE(service.waitForOutput("Supported direct commands:", 30s));

    EXPECT_EQ(client.open(S + "missing", 0).error(), ClientError::closedWithoutReply);
    EXPECT_EQ(client.makeDirectory("it's mine").error(), ClientError::unsendable);
    EXPECT_EQ(elevard::Client(S + "nobody").exists(S).error(), ClientError::notConnected);
}

// Listens on `path` as the user `listenerUid` while `call` runs, and answers its one
// connection: reads the command line, which it returns, then runs `reply` on the connection.
std::string serveOnce(const std::string& path, const std::function<void(int)>& reply,
                      const std::function<void()>& call, uid_t listenerUid) {
    ScopedFd listener = velk::testing::listenAs(path, listenerUid);
    EXPECT_TRUE(listener.valid());
    std::string line;
    std::thread server([&] {
        ScopedFd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        auto grow = [](void* text, long length) -> void* {
            static_cast<std::string*>(text)->resize(static_cast<size_t>(length));
            return static_cast<std::string*>(text)->data();
        };
        if (ds::readBuffer(connection.get(), grow, &line)) {
            reply(connection.get());
        }
    });
    call();
    server.join();
    return line;
}

TEST(ClientLibraryTest, DecodesCodesAndTellsFailuresApart) {
    auto code = [](auto reply) {
        return reply ? std::to_string(static_cast<int>(reply.value())) : "error";
    };
    auto failure = [](auto reply) {
        return reply ? std::string("ok") : "error " + std::to_string(int(reply.error()));
    };
    // Holds the connection open until the client gives up.
    auto silent = [](int s) {
        for (char byte; recv(s, &byte, 1, 0) > 0;) {
        }
    };
    struct Case {
        std::function<void(int)> reply;
        std::function<std::string(const elevard::Client&)> call;
        std::string line;
        std::string result;
        uid_t listener = 0;
    };
    const Case cases[] = {
        {[](int s) { ds::sendInt64(s, 1); },
         [&](const elevard::Client& c) { return code(c.mount("//s/x", "/m", {}, "pw")); },
         "mount //s/x /m '' pw", "1"},
        {[](int s) { ds::sendInt64(s, 4); },
         [&](const elevard::Client& c) { return code(c.unmount("/m")); }, "umount /m", "4"},
        {[](int s) { ds::sendInt64(s, 3); },  // no MountCode
         [&](const elevard::Client& c) { return failure(c.mount("//s/x", "/m")); },
         "mount //s/x /m", "error " + std::to_string(int(ClientError::malformedReply))},
        {[](int s) { ds::sendBuffer(s, "", 0); },
         [](const elevard::Client& c) {
             auto r = c.dmiInfo();
             return r && !r.value() ? "none" : "error";
         },
         "dmiInfo", "none"},
        {[](int s) { ds::sendInt64(s, 2); },  // no bool
         [&](const elevard::Client& c) { return failure(c.exists("/x")); }, "exists /x",
         "error " + std::to_string(int(ClientError::malformedReply))},
        {silent, [&](const elevard::Client& c) { return failure(c.stat("/x")); }, "stat /x",
         "error " + std::to_string(int(ClientError::timedOut))},
        // Anyone may listen at a path in /tmp: not a byte, the password least of all, goes to
        // a listener that is neither root nor the caller.
        {silent,
         [&](const elevard::Client& c) { return failure(c.mount("//s/x", "/m", "u", "pw")); }, "",
         "error " + std::to_string(int(ClientError::untrustedListener)), 65534},
    };
    velk::testing::ScratchDir scratch;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string result;
        const std::string path = scratch.file(std::to_string(&c - cases));
        EXPECT_EQ(
            serveOnce(
                path, c.reply, [&] { result = c.call(elevard::Client(path, 300ms)); }, c.listener),
            c.line);
        EXPECT_EQ(result, c.result);
    }
}

}  // namespace
