// HMAC-SHA1 over OpenSSL's one-shot HMAC.
#include "support/hmac.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>

namespace support {

size_t GenerateHMAC(const void* key, size_t key_len, const void* data, size_t data_len,
                    unsigned char* out) {
    if (!out || (!key && key_len) || (!data && data_len) || key_len > size_t(INT_MAX)) return 0;
    // OpenSSL refuses a null key even when its length is 0.
    static const unsigned char kEmpty = 0;
    if (!key) key = &kEmpty;
    if (!data) data = &kEmpty;
    unsigned int len = 0;
    if (!HMAC(EVP_sha1(), key, int(key_len), static_cast<const unsigned char*>(data), data_len, out,
              &len))
        return 0;
    return len;
}

std::string GenerateHMAC(std::string_view key, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t n = GenerateHMAC(key.data(), key.size(), data.data(), data.size(), out);
    return std::string(reinterpret_cast<const char*>(out), n);
}

}  // namespace support
