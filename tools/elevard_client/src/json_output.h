#pragma once

// The pieces of elevard-client's --json output: every reply becomes one JSON object on one
// line. Pure and thread-safe.

#include <string>

namespace elevard_client {

// `text` as a JSON string literal, quotes included. Control characters, the quote and the
// backslash are escaped; a byte that is not part of valid UTF-8 (paths are bytes, not text)
// becomes the lone surrogate \udcXX, as Python's "surrogateescape" writes it, so no byte is
// lost or silently replaced.
std::string jsonString(const std::string& text);

// `"key":value` with `value` already JSON, for the members of an outcome.
std::string jsonMember(const std::string& key, const std::string& value);

// The object printed for one reply: {"command":NAME,MEMBERS} and a newline; `members` is a
// comma-separated list of jsonMember results, possibly empty.
std::string jsonObject(const std::string& command, const std::string& members);

}  // namespace elevard_client
