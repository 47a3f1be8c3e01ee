// Round trips against the service and against a bare reference server, with the same load
// generator in the same run: connect, send "exists /tmp", read the reply, close.
//
//     build/default/bin/elevard_bench_round_trips      (as root)
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_service.h"
#include "elevard/wire/domain_socket.h"
#include "load_generator.h"
#include "velk/kit/scoped_fd.h"
#include "velk_testing/messages.h"

namespace {

using elevard_bench::fixed;
using elevard_bench::LoadFigures;
using velk::kit::ScopedFd;
namespace domain_socket = elevard::wire;

const char* const kBarePath = "/tmp/elevard_bench_bare.sock";
const char* const kLine = "exists /tmp";
// Each configuration runs in this many rounds, the two servers taking turns.
constexpr int kRounds = 5;

// The least a server of this protocol can do: one thread that accepts a connection, reads its
// buffer message, stats the path after the command word, sends the integer reply and closes.
class BareServer {
public:
    ~BareServer() {
        stopping_ = true;
        // Wakes the blocked accept, which then fails.
        shutdown(listener_.get(), SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        unlink(kBarePath);
    }

    // The processor time the serving thread has used so far, in seconds.
    double cpuSeconds() {
        clockid_t clock;
        timespec used{};
        if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
            clock_gettime(clock, &used) != 0) {
            return -1;
        }
        return used.tv_sec + used.tv_nsec / 1e9;
    }

    bool start() {
        listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, kBarePath, sizeof address.sun_path - 1);
        unlink(kBarePath);
        if (!listener_.valid() ||
            bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            listen(listener_.get(), 128) != 0) {
            std::perror("bare server");
            return false;
        }
        thread_ = std::thread([this] { serve(); });
        return true;
    }

private:
    static void* grow(void* context, long length) {
        auto* line = static_cast<std::string*>(context);
        line->resize(static_cast<size_t>(length));
        return line->data();
    }

    void serve() {
        std::string line;
        while (!stopping_) {
            ScopedFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection.valid()) {
                continue;
            }
            if (domain_socket::readBuffer(connection.get(), grow, &line)) {
                struct stat status {};
                const std::string path = line.substr(line.find(' ') + 1);
                domain_socket::sendInt64(connection.get(), stat(path.c_str(), &status) == 0);
            }
        }
    }

    ScopedFd listener_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

// Round trips to the server at `path`; `cpu`, a reading of the server's processor time, adds
// what the run took of it to `*cpuSeconds`.
template <typename Cpu>
LoadFigures roundTrips(const std::string& path, int clients, size_t perClient, Cpu cpu,
                       double* cpuSeconds) {
    const std::string expected = velk::testing::integerMessage(1);
    const double before = cpu();
    LoadFigures figures = elevard_bench::runLoad(clients, perClient, [&](int, size_t) {
        std::string reply;
        return elevard_bench::exchange(path, kLine, &reply) && reply == expected;
    });
    *cpuSeconds += cpu() - before;
    return figures;
}

// Prints one row; returns the server's processor time per request in microseconds.
double printRow(int clients, const char* server, const LoadFigures& f, double cpuSeconds) {
    const double cpu = f.requests > 0 ? cpuSeconds * 1e6 / f.requests : 0;
    std::printf("%7d  %-8s %9zu %8zu %10s %9s %9s %11s\n", clients, server, f.requests, f.failures,
                fixed(f.perSecond(), 0).c_str(), fixed(f.p50Microseconds, 1).c_str(),
                fixed(f.p99Microseconds, 1).c_str(), fixed(cpu, 1).c_str());
    return cpu;
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

}  // namespace

int main() {
    elevard_bench::BenchService service;
    if (!service.start()) {
        return 1;
    }
    BareServer bare;
    if (!bare.start()) {
        return 1;
    }
    const std::string elevard = elevard_bench::servicePath();
    auto bareCpu = [&bare] { return bare.cpuSeconds(); };
    auto serviceCpu = [&service] { return service.cpuSeconds(); };
    double ignored = 0;
    // Caches, thread stacks and the workers' memory are warm before anything is measured.
    roundTrips(kBarePath, 16, 500, bareCpu, &ignored);
    roundTrips(elevard, 16, 500, serviceCpu, &ignored);

    std::printf(
        "Round trips on %s: connect, \"%s\", reply, close; %d rounds, the servers "
        "taking turns\n",
        elevard_bench::machine().c_str(), kLine, kRounds);
    std::printf("%7s  %-8s %9s %8s %10s %9s %9s %11s\n", "clients", "server", "requests", "failed",
                "req/s", "p50 us", "p99 us", "cpu us/req");
    bool allMet = true;
    for (const auto& [clients, perClient] :
         {std::pair{1, size_t{4000}}, std::pair{16, size_t{400}}, std::pair{64, size_t{100}}}) {
        double bareSeconds = 0;
        double serviceSeconds = 0;
        const std::vector<LoadFigures> both = elevard_bench::interleave(
            kRounds,
            {[&] { return roundTrips(kBarePath, clients, perClient, bareCpu, &bareSeconds); },
             [&] { return roundTrips(elevard, clients, perClient, serviceCpu, &serviceSeconds); }});
        const LoadFigures& reference = both[0];
        const LoadFigures& measured = both[1];
        const double bareCost = printRow(clients, "bare", reference, bareSeconds);
        const double serviceCost = printRow(clients, "elevard", measured, serviceSeconds);
        const double throughput = measured.perSecond() / reference.perSecond();
        const double p99 = measured.p99Microseconds / reference.p99Microseconds;
        const double p50 = measured.p50Microseconds - reference.p50Microseconds;
        std::printf("%7s  elevard/bare: throughput %s, p50 %+.1f us, p99 %s, cpu %s\n", "",
                    fixed(throughput, 2).c_str(), p50, fixed(p99, 2).c_str(),
                    fixed(serviceCost / bareCost, 2).c_str());
        const double cpu = serviceCost / bareCost;
        bool met = measured.failures == 0;
        if (clients == 1) {
            met = met && p50 <= 15;
            std::printf("%7s  target p50 within 15 us of bare: %s\n", "", verdict(met));
        } else if (clients == 16) {
            met = met && throughput >= 0.95 && p99 <= 1.2 && cpu <= 1.3;
            std::printf(
                "%7s  target throughput >= 0.95, p99 <= 1.2 and cpu <= 1.3 x bare: %s "
                "(throughput %s, p99 %s, cpu %s)\n",
                "", verdict(met), verdict(throughput >= 0.95), verdict(p99 <= 1.2),
                verdict(cpu <= 1.3));
        }
        allMet = allMet && met;
    }
    return allMet ? 0 : 2;
}
