#include "journal.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

ucred peerCredentials(int socket) {
    ucred caller = RequestOrigin{}.caller;
    socklen_t size = sizeof caller;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &caller, &size) != 0 || size != sizeof caller) {
        return RequestOrigin{}.caller;
    }
    return caller;
}

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool decideStandardOutputIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long device = std::strtoull(stream, &end, 10);
    if (end == stream || *end != ':' || errno != 0) {
        return false;
    }
    const char* inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (end == inodeText || *end != '\0' || errno != 0) {
        return false;
    }
    struct stat output {};
    return fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == device && output.st_ino == inode;
}

}  // namespace

bool standardOutputIsJournal() {
    static const bool journal = decideStandardOutputIsJournal();
    return journal;
}

bool sendJournalEntry(const JournalEntry& entry) {
    // sd_journal_sendv reports success when the journal's socket is missing, and the entry would
    // be lost without a word.
    struct stat journal {};
    if (stat(kJournalSocket, &journal) != 0 || !S_ISSOCK(journal.st_mode)) {
        return false;
    }
    const auto duration = std::chrono::duration_cast<std::chrono::microseconds>(
        entry.finished - entry.origin.arrived);
    std::vector<std::string> fields = {
        "MESSAGE=" + entry.message,
        std::string("PRIORITY=") + (entry.ok ? "6" : "5"),
        "ELEVARD_CALLER_UID=" + std::to_string(entry.origin.caller.uid),
        "ELEVARD_CALLER_GID=" + std::to_string(entry.origin.caller.gid),
        "ELEVARD_RESULT=" + entry.result,
        "ELEVARD_DURATION_USEC=" + std::to_string(std::max<int64_t>(0, duration.count())),
    };
    if (!entry.command.empty()) {
        fields.push_back("ELEVARD_COMMAND=" + entry.command);
    }
    if (entry.origin.caller.pid > 0) {
        fields.push_back("OBJECT_PID=" + std::to_string(entry.origin.caller.pid));
    }
    std::vector<iovec> vector(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        vector[i].iov_base = fields[i].data();
        vector[i].iov_len = fields[i].size();
    }
    return sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) == 0;
}

std::string firstWord(const std::string& line) {
    return line.substr(0, line.find_first_of(" \t\n\r\v\f"));
}
