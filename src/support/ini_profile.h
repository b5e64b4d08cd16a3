// INI profile files with the semantics of private-profile files: section
// and key names case-insensitive, first section and first key win, blanks
// around values trimmed, one pair of enclosing quotes removed, ';' comment
// lines; malformed lines are skipped. Parsed files are cached per path and
// re-validated with one stat per read (device, inode, size, nanosecond mtime
// and ctime; a file changed within the last two seconds is also compared
// byte for byte, since a second write may fall within one time-stamp tick).
// Readers hold an immutable snapshot and never see a half-parsed file. An
// unreadable file yields the defaults and one trace line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace support {

// Names the files later reads and writes use. Until named, they are
// SMSGW.INI and MMSC.INI in the program data directory.
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
// The shared-volume settings live in SHAREDVOL.INI in the program data
// directory (section [SharedVolume] by convention).
std::string SharedVolumeIniGetProfileString(std::string_view section, std::string_view key,
                                            std::string_view def, size_t size = 0);
std::string SharedVolumeIniGetFilename();

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
// ini_set replaces the first copy of the key in the first section of that
// name, else appends it to that section, else appends the section; a value
// that would not read back unchanged (outer blanks or quotes) is written in
// double quotes. Names or values with line breaks, a key with '=' or a
// section with ']' are refused (false). Deleting removes every copy of the
// key in the section readers use / every section of that name; nothing to
// delete is success.
bool ini_set(const std::string& file, std::string_view section, std::string_view key,
             std::string_view value);
bool ini_delete_key(const std::string& file, std::string_view section, std::string_view key);
bool ini_delete_section(const std::string& file, std::string_view section);

// Parses INI text (no file involved); for the fuzz target and tests. Every
// section and key in file order, duplicates included; keys before the first
// section or after an unterminated '[' line are dropped.
std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
ini_parse_text(std::string_view text);

// Forgets every cached parse (tests that swap files under one path).
void ini_drop_cache_for_tests();

}  // namespace support
