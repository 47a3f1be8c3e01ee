// An example of a program that calls the elevard service through libelevard_client: it asks
// whether a path exists and prints the answer, or why none came.
//
//   app [PATH [SOCKET]]    PATH defaults to /tmp, SOCKET to the service's own socket
//
// Exits 0 with an answer, 1 when the service could not be reached (no service, or the account
// is not in the group quorvath) and 2 for any other missing answer.
#include <elevard/client.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "/tmp";
    elevard::Client client(argc > 2 ? argv[2] : elevard::kDefaultSocketPath,
                           std::chrono::seconds(30));
    elevard::Reply<bool> exists = client.exists(path);
    if (!exists) {
        std::fprintf(stderr, "no answer: %s\n", exists.message().c_str());
        return exists.error() == elevard::ClientError::notConnected ? 1 : 2;
    }
    std::printf("%s %s\n", path, exists.value() ? "exists" : "does not exist");
    return 0;
}
