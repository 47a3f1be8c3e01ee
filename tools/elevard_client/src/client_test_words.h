#pragma once

// Helpers shared by the command-line client's unit tests.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "elevard/command_table.h"

namespace elevard_client::test {

// `line` split at blanks.
inline std::vector<std::string> words(const char* line) {
    std::istringstream split(line);
    std::vector<std::string> result;
    for (std::string word; split >> word;) {
        result.push_back(word);
    }
    return result;
}

// The table's row named `name`; a missing name fails the calling test.
inline const elevard::CommandInfo& command(const std::string& name) {
    const elevard::CommandInfo* info = elevard::findCommand(name);
    EXPECT_NE(info, nullptr) << name;
    return *info;
}

}  // namespace elevard_client::test
