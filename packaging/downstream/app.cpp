// Calls a service that is not there: the call must come back as notConnected, which shows the
// library was found, linked and loaded. Exits 0 only then.
#include <elevard/client.h>

#include <cstdio>

int main(int argc, char** argv) {
    elevard::Client client(argc > 1 ? argv[1] : "/nonexistent/elevard.sock");
    elevard::Reply<bool> reply = client.exists("/tmp");
    std::printf("%s\n", reply ? "reply" : reply.message().c_str());
    return !reply && reply.error() == elevard::ClientError::notConnected ? 0 : 1;
}
