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
#include <sstream>
#include <thread>

#include "velk/system_commands/domain_socket.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"
#include "velk_testing/service_in_namespace.h"

namespace {

using namespace std::chrono_literals;
using elevard::ClientError;
using velk::kit::ScopedFd;
namespace ds = velk::system_commands::domain_socket;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST(ClientLibraryTest, EachCallReachesTheService) {
    std::string error;
    ASSERT_TRUE(velk::testing::enterServiceNamespace(ELEVARD_BINARY, &error)) << error;
    velk::testing::ScratchDir scratch;
    const std::string S = scratch.path() + "/";
    ASSERT_TRUE(scratch.write("f", "hello"));
    velk::testing::RunningChild sleeper;
    ASSERT_TRUE(sleeper.start({"/bin/sleep", "60"}));
    velk::testing::RunningChild service;
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
    EXPECT_EQ(info.st_uid, 7u);
    EXPECT_EQ(info.st_gid, 8u);
    EXPECT_TRUE(client.rename(S + "f", S + "a dir/g").value());
    elevard::Reply<ScopedFd> opened = client.open(S + "new", 66);
    ASSERT_TRUE(opened) << opened.message();
    ASSERT_EQ(write(opened.value().get(), "through", 7), 7);
    EXPECT_EQ(readFile(S + "new"), "through");
    EXPECT_GT(client.freeSpace(S).value(), 0);
    EXPECT_GE(client.totalSpace(S).value(), client.freeSpace(S).value());
    elevard::FileStatus status = client.stat(S + "a dir/g").value();
    EXPECT_TRUE(status.exists);
    EXPECT_EQ(status.type, elevard::FileType::regularFile);
    EXPECT_EQ(status.size, 5);
    std::vector<elevard::ListEntry> entries = client.list(S + "a dir").value();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, S + "a dir/g");
    EXPECT_EQ(entries[0].size, 5);
    EXPECT_FALSE(entries[0].isDirectory);
    EXPECT_EQ(client.devicePath(S).value(), "");  // tmpfs is no block device
    EXPECT_EQ(client.size(S + "a dir/g").value(), 5);
    EXPECT_EQ(client.setFdLimit(sleeper.pid(), 512).value(), 512);
    EXPECT_TRUE(client.removePath(S + "a dir").value());
    EXPECT_FALSE(client.exists(S + "a dir").value());
    EXPECT_TRUE(client.help().ok());
    EXPECT_TRUE(service.waitForOutput("Supported direct commands:", 30s));

    elevard::Reply<ScopedFd> missing = client.open(S + "missing", 0);
    EXPECT_EQ(missing.error(), ClientError::closedWithoutReply);
    EXPECT_EQ(client.makeDirectory("it's mine").error(), ClientError::unsendable);
    EXPECT_EQ(elevard::Client(S + "nobody").exists(S).error(), ClientError::notConnected);
}

// Answers one connection on a socket in a scratch folder: reads the command line, then runs
// the case's reply on the connection.
class StandIn {
public:
    explicit StandIn(std::function<void(int)> reply) {
        listener_ = ScopedFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path().c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_.get(), 1), 0);
        thread_ = std::thread([this, reply] {
            ScopedFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            auto grow = [](void* context, long length) -> void* {
                auto* text = static_cast<std::string*>(context);
                text->resize(static_cast<size_t>(length));
                return text->data();
            };
            if (ds::readBuffer(connection.get(), grow, &line_)) {
                reply(connection.get());
            }
        });
    }
    ~StandIn() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::string path() const { return scratch_.file("sock"); }

    // Waits for the connection to be served; the command line it carried.
    std::string line() {
        thread_.join();
        return line_;
    }

private:
    velk::testing::ScratchDir scratch_;
    ScopedFd listener_;
    std::string line_;
    std::thread thread_;
};

std::function<void(int)> integer(long value) {
    return [value](int s) { ds::sendInt64(s, value); };
}
std::function<void(int)> buffer(const std::string& payload) {
    return
        [payload](int s) { ds::sendBuffer(s, payload.data(), static_cast<long>(payload.size())); };
}

TEST(ClientLibraryTest, DecodesCodesAndTellsFailuresApart) {
    using Call = std::function<std::string(const elevard::Client&)>;
    auto code = [](auto reply) {
        return reply ? std::to_string(static_cast<int>(reply.value())) : "error";
    };
    auto failure = [](auto reply) {
        return reply ? std::string("ok") : "error " + std::to_string(int(reply.error()));
    };
    // Holds the connection open until the client gives up.
    auto silent = [](int s) {
        char byte;
        while (recv(s, &byte, 1, 0) > 0) {
        }
    };
    struct Case {
        const char* name;
        std::function<void(int)> reply;
        Call call;
        std::string line;
        std::string result;
    };
    const Case cases[] = {
        {"mount with a password only", integer(1),
         [&](const elevard::Client& c) { return code(c.mount("//s/x", "/m", {}, "pw")); },
         "mount //s/x /m '' pw", "1"},
        {"unmount", integer(4), [&](const elevard::Client& c) { return code(c.unmount("/m")); },
         "unmount /m", "4"},
        {"dmiInfo unread", buffer(""),
         [](const elevard::Client& c) {
             auto r = c.dmiInfo();
             return r && !r.value() ? "none" : "error";
         },
         "dmiInfo", "none"},
        {"bool out of range", integer(2),
         [&](const elevard::Client& c) { return failure(c.exists("/x")); }, "exists /x",
         "error " + std::to_string(int(ClientError::malformedReply))},
        {"stalled", silent, [&](const elevard::Client& c) { return failure(c.stat("/x")); },
         "stat /x", "error " + std::to_string(int(ClientError::timedOut))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StandIn standIn(c.reply);
        EXPECT_EQ(c.call(elevard::Client(standIn.path(), 300ms)), c.result);
        EXPECT_EQ(standIn.line(), c.line);
    }
}

}  // namespace
