#include "velk/system_commands/shell_text.h"

namespace velk::system_commands::detail {

std::string escapeSingleQuotes(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        if (c == '\'') {
            escaped += "'\\''";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string quoted(const std::string& value) {
    return "'" + escapeSingleQuotes(value) + "'";
}

}  // namespace velk::system_commands::detail
