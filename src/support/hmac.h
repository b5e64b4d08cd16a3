// Keyed digest (HMAC-SHA1) that authenticates provisioning documents and
// signed HTTP requests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace support {

constexpr size_t kHmacSize = 20;  // SHA-1 digest length

// Writes the 20-byte HMAC-SHA1 of data under key to out (room for
// kHmacSize bytes). Returns the number of bytes written, 0 on failure.
// A null pointer is allowed with a length of 0.
size_t GenerateHMAC(const void* key, size_t key_len, const void* data, size_t data_len,
                    unsigned char* out);

// The same as 20 raw bytes in a string (empty on failure).
std::string GenerateHMAC(std::string_view key, std::string_view data);

}  // namespace support
