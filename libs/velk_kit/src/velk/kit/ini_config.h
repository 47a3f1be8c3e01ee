#pragma once

#include <memory>
#include <string>

namespace velk::kit {

// Reads one ini file of `key=value` lines into registered parameters.
//
// The file is looked for in the folder named by the environment variable VELK_INI_DIR when it
// is set, else in "/etc/velk_ini/". Blanks around keys and values are ignored, lines starting
// with '#' or ';' are comments and `[section]` lines are skipped. Booleans are
// true/false/1/0/yes/no/on/off in any case. A missing file leaves every parameter at its
// default; an unreadable file or a malformed line writes one warning line to the debug stream
// and leaves what could not be read at its default.
//
// Registration and reload are not thread-safe; derived classes do both while they are built.
class IniConfig {
public:
    // `fileName` is the file's name without a folder; it is copied.
    explicit IniConfig(const char* fileName);
    virtual ~IniConfig();

    IniConfig(const IniConfig&) = delete;
    IniConfig& operator=(const IniConfig&) = delete;

    // Registers the boolean parameter `name`. `target` must point to a non-const bool that
    // outlives this object; reload() writes the configured value through it. Returns
    // `defaultValue`, with which the caller initialises its member.
    bool regBoolParam(const bool* target, bool defaultValue, const char* name,
                      const char* description);

    // Resets every parameter to its default and reads the file again.
    void reload();

    // The full path of the file that reload() reads, as of now.
    std::string filePath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velk::kit
