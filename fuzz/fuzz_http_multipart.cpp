// Fuzz target for multipart forms: any body parses without a crash, every
// upload lands directly in the temporary directory under a safe name, and
// the body that replaces the form holds only encoded pairs.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "frontends/http/http_request.h"

namespace {

std::string g_dir;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/smsgw-fuzz-mp-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    g_dir = std::string(tmpl) + "/TEMP/";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace frontends::http;
    std::string req = "POST /s HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B\r\n\r\n" +
                      std::string(reinterpret_cast<const char*>(data), size);
    size_t hl = header_block_length(req);
    check(ParseMultipart(req, g_dir));
    check(req.size() >= hl);
    for (size_t i = hl; i < req.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(req[i]);
        check(c > 32 && c <= 127 && c != '+' && c != '?');
    }
    if (DIR* d = ::opendir(g_dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            check(e->d_type == DT_REG && n.find('/') == std::string::npos);
            ::unlink((g_dir + n).c_str());
        }
        ::closedir(d);
    }
    return 0;
}
