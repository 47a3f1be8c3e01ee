// The service under load and under attack at once: the built elevard, in a private mount
// namespace, serves 32 clients of 1,000 requests each while hostile connections come and go
// beside them. Every reply must be the one its request called for, and afterwards the service
// must answer as before, with its descriptors back at their idle count and its memory flat.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "elevard/wire/domain_socket.h"
#include "service_load_fixture.h"
#include "velk/kit/scoped_fd.h"

namespace service_load {

using velk::kit::ScopedFd;
namespace domain_socket = elevard::wire;

std::vector<Request> ServiceLoadTest::requestsOf(int client) const {
    const std::string work = home(client) + "/w/";
    const std::string yes = integerMessage(1);
    const std::string listed = "list " + home(client) + "/listed";
    std::vector<Request> requests;
    auto add = [&requests](std::string line, std::string reply, const char* outcome) {
        requests.push_back({std::move(line), std::move(reply), outcome});
    };
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const std::string sized = home(client) + "/s" + std::to_string(cycle % kSizedFiles);
        const int64_t size = sizeOf(client, cycle % kSizedFiles);
        const std::string made = work + "n" + std::to_string(cycle);
        const std::string moved = work + "m" + std::to_string(cycle);
        add("exists " + sized, yes, "ok");
        add("size " + sized, integerMessage(size), "ok");
        add("stat " + sized, bufferMessage(statRecord(true, 0, size)), "ok");
        add(listed, bufferMessage(home(client) + "/listed/only" + std::to_string(client) + ",0,0,"),
            "ok");
        add("mkdir " + made + "/deep", yes, "ok");
        add("chown " + made + " " + std::to_string(uidOf(client)) + " " +
                std::to_string(gidOf(cycle)) + " recursive",
            yes, "ok");
        add("mv " + made + " " + moved, yes, "ok");
        add("exists " + moved + "/deep", yes, "ok");
        // The first cycle removes what is not there, which succeeds too.
        add("rm " + work + "m" + std::to_string(cycle - 1), yes, "ok");
        add("size " + made, integerMessage(-1), "execution failed");
    }
    return requests;
}

template <typename Barrier>
void ServiceLoadTest::runClient(int client, Barrier& half) {
    const std::vector<Request> requests = requestsOf(client);
    for (size_t i = 0; i < requests.size(); ++i) {
        if (i == requests.size() / 2) {
            half.arrive_and_wait();
        }
        if (hung_) {
            continue;
        }
        const std::string reply = exchangeLine(kPath, requests[i].line);
        const std::string what = "client " + std::to_string(client) + ": " + requests[i].line;
        if (reply == "<still open>" || reply == "<no connection>") {
            hang(what + ": " + reply);
        } else if (reply != requests[i].reply) {
            fail(what + ": got " + std::to_string(reply.size()) + " bytes, not the expected " +
                 std::to_string(requests[i].reply.size()));
        }
        ++completed_;
    }
}

template <typename Barrier>
void ServiceLoadTest::runHostile(Barrier& half) {
    for (int round = 0; round < kHostileRounds; ++round) {
        if (round == kHostileRounds / 2) {
            half.arrive_and_wait();
        }
        while (completed_ < round * (kTotalRequests / kHostileRounds) && !hung_) {
            std::this_thread::sleep_for(1ms);
        }
        if (hung_) {
            continue;
        }
        if (round == kHostileRounds / 8) {
            burst();
        }
        hostile(round);
    }
}

void ServiceLoadTest::hostile(int round) {
    ScopedFd fd = connectWhenListening(kPath);
    if (!fd.valid()) {
        return fail("hostile connection refused");
    }
    const std::string large = "list " + large_;
    switch (round % 4) {
        case 0:    // an empty line
        case 1: {  // a length no line has
            const std::string field = lengthField(round % 4 == 0 ? 0 : int64_t{1} << 62);
            send(fd.get(), field.data(), field.size(), MSG_NOSIGNAL);
            const std::string reply = readUntilClosed(fd.get());
            if (reply == "<still open>") {
                hang("a hostile length was left open");
            } else if (!reply.empty()) {
                fail("a hostile length got a reply");
            }
            return;
        }
        case 2:  // gone after three bytes of the length
            send(fd.get(), lengthField(8).data(), 3, MSG_NOSIGNAL);
            return;
        default:  // gone before the reply, or after the first bytes of it
            domain_socket::sendBuffer(fd.get(), large.data(), static_cast<long>(large.size()));
            ++largeLists_;
            if (round % 8 == 7) {
                std::string field(largeLength_.size(), '\0');
                if (recv(fd.get(), field.data(), field.size(), MSG_WAITALL) !=
                        static_cast<ssize_t>(field.size()) ||
                    field != largeLength_) {
                    fail("the large listing announced another length");
                }
            }
    }
}

void ServiceLoadTest::burst() {
    std::vector<ScopedFd> held(kBurst);
    for (ScopedFd& fd : held) {
        if (!(fd = connectWhenListening(kPath)).valid()) {
            return fail("burst: a connection could not be made");
        }
        ++burstHeld_;
    }
}

void ServiceLoadTest::expectOutput(const ChildResult& result) {
    std::map<std::string, int> expected;
    for (int client = 0; client < kClients; ++client) {
        for (const Request& r : requestsOf(client)) {
            ++expected[r.line + " --> " + r.outcome];
        }
    }
    expected["list " + large_ + " --> ok"] = largeLists_;
    expected["exists " + root_ + " --> ok"] = 2;  // before and after the load
    expected[std::string("Starting elevard, using domain socket: ") + kPath] = 1;
    std::map<std::string, int> printed = lineCounts(result.out);
    for (const auto& [line, count] : expected) {
        if (printed[line] != count) {
            fail(line + ": printed " + std::to_string(printed[line]) + " times, not " +
                 std::to_string(count));
        }
        printed.erase(line);
    }
    for (const auto& [line, count] : printed) {
        fail("unexpected output: " + line);
    }
    int brokenPipes = 0;
    for (const auto& [line, count] : lineCounts(result.err)) {
        EXPECT_TRUE(line == "sendData: Broken pipe" || line == "write: Broken pipe") << line;
        brokenPipes += count;
    }
    EXPECT_EQ(brokenPipes, largeLists_);
}

void ServiceLoadTest::expectLastCyclesLeft() {
    const std::string last = "m" + std::to_string(kCycles - 1);
    for (int client = 0; client < kClients; ++client) {
        SCOPED_TRACE(client);
        const std::string work = home(client) + "/w/";
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(work)) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{last});
        for (const std::string& path : {work + last, work + last + "/deep"}) {
            struct stat info {};
            ASSERT_EQ(lstat(path.c_str(), &info), 0) << path;
            EXPECT_EQ(info.st_uid, uidOf(client));
            EXPECT_EQ(info.st_gid, gidOf(kCycles - 1));
        }
    }
}

}  // namespace service_load

namespace {

using namespace service_load;

TEST_F(ServiceLoadTest, ServesEveryRequestRightBesideHostileConnections) {
    ASSERT_NO_FATAL_FAILURE(startService());
    EXPECT_EQ(exchangeLine(kPath, "exists " + root_), integerMessage(1));
    const size_t idle = requestDescriptorCount(service_.pid());
    const long startKiB = residentKiB(service_.pid());

    long halfKiB = -1;
    std::barrier half(kClients + 1, [&]() noexcept {
        // Nothing is in flight but the tricklers.
        settleDescriptors(idle + kTricklers);
        halfKiB = residentKiB(service_.pid());
    });
    std::atomic<bool> loadDone{false};
    std::thread drain([&] {
        // The service prints a line per request and stalls once the pipe is full.
        while (!loadDone) {
            service_.collectFor(20ms);
        }
    });
    const auto started = Clock::now();
    // Each trickles a line a byte a second until the service closes it at its deadline.
    std::thread tricklers([this] {
        std::vector<std::string> lines;
        for (int i = 0; i < kTricklers; ++i) {
            lines.push_back(bufferMessage("exists " + root_ + "/trickled" + std::to_string(i)));
        }
        if (const std::string why = trickleUntilClosed(kPath, lines, 1s); !why.empty()) {
            fail(why);
        }
    });
    std::thread hostile([&] { runHostile(half); });
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] { runClient(client, half); });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    hostile.join();
    tricklers.join();
    loadDone = true;
    drain.join();

    EXPECT_EQ(exchangeLine(kPath, "exists " + root_), integerMessage(1))
        << "the service no longer answers";
    const size_t held = settleDescriptors(idle);
    const long endKiB = residentKiB(service_.pid());
    std::printf(
        "requests %d in %.1f s (%.0f/s), failures %d; hostile %d, burst %zu, tricklers %d;\n"
        "descriptors idle %zu, after %zu; resident KiB start %ld, half %ld, end %ld\n",
        completed_.load(), seconds, completed_ / seconds, failures_, kHostileRounds, burstHeld_,
        kTricklers, idle, held, startKiB, halfKiB, endKiB);
    EXPECT_EQ(burstHeld_, size_t{kBurst});
    EXPECT_EQ(held, idle);
    EXPECT_GT(halfKiB, 0);
    EXPECT_LE(endKiB - halfKiB, kGrowthBoundKiB);

    ASSERT_TRUE(service_.signal(SIGTERM));
    const ChildResult result = service_.wait(kHang);
    // Leaks, under the sanitizers, would make the exit status non-zero.
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    expectOutput(result);
    expectLastCyclesLeft();
    EXPECT_EQ(failures_, 0) << failureText_;
}

}  // namespace
