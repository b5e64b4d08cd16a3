// The 512-byte status block "KEL_SMSGW_ShMem": a file in the private data
// directory mapped shared, locked by the running gateway so that a second
// gateway on the same data directory sees it as active.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr size_t kStatusBlockSize = 512;
constexpr const char* kStatusBlockName = "KEL_SMSGW_ShMem";

class StatusBlock {
public:
    enum class OpenResult { Ok, AlreadyActive, CreateFailed, MapFailed };

    StatusBlock() = default;
    StatusBlock(const StatusBlock&) = delete;
    StatusBlock& operator=(const StatusBlock&) = delete;
    ~StatusBlock();

    // Creates (or reuses a file left by a dead process) dir + kStatusBlockName,
    // takes flock(LOCK_EX|LOCK_NB), maps 512 bytes and zeroes them.
    // *err receives errno on failure.
    OpenResult create(const std::string& private_dir, int* err = nullptr);
    void close();

    bool valid() const { return bytes_ != nullptr; }
    // Volatile access: an outside controller changes bytes in place.
    uint8_t get(size_t index) const;
    void set(size_t index, uint8_t value);

private:
    int fd_ = -1;
    volatile uint8_t* bytes_ = nullptr;
};

}  // namespace platform
