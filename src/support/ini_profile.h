// INI profile files with the semantics of private-profile files: section
// and key names case-insensitive, first section and first key win, blanks
// around values trimmed, one pair of enclosing quotes removed, ';' comment
// lines. Parsed files are cached and re-read when the file changes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace support {

// Names the files later reads and writes use.
void SMSIniSetFilename(const std::string& path);
void MMSCIniSetFilename(const std::string& path);
std::string SMSIniGetFilename();
std::string MMSCIniGetFilename();

// The stored value, else def; cut to at most size-1 bytes like a caller
// buffer of that size (size 0 means no limit).
std::string SMSIniGetProfileString(std::string_view section, std::string_view key,
                                   std::string_view def, size_t size = 0);
std::string MMSCIniGetProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, size_t size = 0);
std::string SharedVolumeIniGetProfileString(std::string_view section, std::string_view key,
                                            std::string_view def, size_t size = 0);

// Generic reads of any INI file by path (same cache and semantics).
std::string ini_get(const std::string& file, std::string_view section, std::string_view key,
                    std::string_view def, size_t size = 0);
// nullopt when the key is absent (an empty value is present).
std::optional<std::string> ini_find(const std::string& file, std::string_view section,
                                    std::string_view key);
// Keys with their values of one section in file order (first of each key).
std::vector<std::pair<std::string, std::string>> ini_section(const std::string& file,
                                                             std::string_view section);
// Section names in file order.
std::vector<std::string> ini_sections(const std::string& file);
bool ini_has_section(const std::string& file, std::string_view section);

// Writers keep every other line and comment and replace the file atomically.
bool ini_set(const std::string& file, std::string_view section, std::string_view key,
             std::string_view value);
bool ini_delete_key(const std::string& file, std::string_view section, std::string_view key);
bool ini_delete_section(const std::string& file, std::string_view section);

// Parses INI text (no file involved); for the fuzz target and tests.
struct IniDocument;  // opaque
std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
ini_parse_text(std::string_view text);

}  // namespace support
