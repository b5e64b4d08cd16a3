// Windows-1252 and the other Windows code pages (through iconv), charset names, MIBenum
// numbers and the WSP well-known content types.
#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "platform/text.h"
#include "platform/trace_sink.h"
#include "radio/charset/charset.h"

namespace radio::charset {

namespace {

// Windows-1252 0x80-0x9F. The five undefined bytes pass through as C1 controls, so every
// byte has a code point and back.
// clang-format off
constexpr char16_t kWin1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

char16_t win1252_code_point(unsigned char b) {
    return (b >= 0x80 && b <= 0x9F) ? kWin1252High[b - 0x80] : char16_t(b);
}

int win1252_byte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return int(cp);
    for (int k = 0; k < 32; ++k)
        if (kWin1252High[k] == cp) return 0x80 + k;
    return -1;
}

constexpr const char* kUtf16Host =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// RAII owner of an iconv descriptor.
struct Iconv {
    iconv_t cd;
    Iconv(const std::string& to, const std::string& from)
        : cd(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok()) iconv_close(cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// Opening a converter loads (and closing it may unload) its conversion module, which costs
// far more than a message's conversion; each thread keeps the few it used last.
class IconvCache {
  public:
    // The descriptor for to <- from, reset to its initial shift state; nullptr (errno set)
    // when iconv cannot convert between the two.
    iconv_t get(const std::string& to, const std::string& from) {
        for (auto& e : entries_) {
            if (e.cv && e.to == to && e.from == from) {
                iconv(e.cv->cd, nullptr, nullptr, nullptr, nullptr);
                e.used = ++clock_;
                return e.cv->cd;
            }
        }
        auto cv = std::make_unique<Iconv>(to, from);
        if (!cv->ok()) {
            const int error = errno;
            cv.reset();
            errno = error;
            return nullptr;
        }
        Entry* victim = &entries_[0];
        for (auto& e : entries_)
            if (e.used < victim->used) victim = &e;
        *victim = Entry{to, from, std::move(cv), ++clock_};
        return victim->cv->cd;
    }

  private:
    struct Entry {
        std::string to, from;
        std::unique_ptr<Iconv> cv;
        uint64_t used = 0;
    };
    std::array<Entry, 6> entries_;
    uint64_t clock_ = 0;
};

iconv_t cached_iconv(const std::string& to, const std::string& from) {
    thread_local IconvCache cache;
    return cache.get(to, from);
}

std::string_view until_nul(std::string_view s) {
    const size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

// The built-in charset rows; they win over the charset database below.
constexpr std::string_view kCharsetRows =
    "[Charset]\n"
    "iso-8859-1=1252\n"
    "us-ascii=1252\n"
    "big5=950\n"
    "big-5=950\n"
    "gbk=936\n"
    "gb2312=936\n"
    "gb2312-80=936\n"
    "shift-jis=932\n"
    "shift_jis=932\n"
    "iso-8859-2=1250\n"
    "iso-8859-4=1257\n"
    "iso-8859-5=1251\n"
    "iso-8859-6=1256\n"
    "iso-8859-7=1253\n"
    "iso-8859-8=1255\n"
    "iso-8859-9=1254\n";

// MIME charset database: an entry either names its code page or is an alias of another.
struct CharsetEntry {
    const char* name;
    const char* alias;
    unsigned code_page;
};
constexpr CharsetEntry kCharsetDatabase[] = {
    {"utf-8", nullptr, 65001},
    {"utf8", "utf-8", 0},
    {"unicode-1-1-utf-8", "utf-8", 0},
    {"unicode-2-0-utf-8", "utf-8", 0},
    {"x-unicode20utf8", "utf-8", 0},
    {"utf-16", nullptr, 1200},
    {"utf-16le", nullptr, 1200},
    {"unicode", "utf-16", 0},
    {"iso-10646-ucs-2", "utf-16", 0},
    {"utf-16be", nullptr, 1201},
    {"unicodefffe", "utf-16be", 0},
    {"us-ascii", nullptr, 1252},
    {"ascii", "us-ascii", 0},
    {"us", "us-ascii", 0},
    {"ansi_x3.4-1968", "us-ascii", 0},
    {"ansi_x3.4-1986", "us-ascii", 0},
    {"iso646-us", "us-ascii", 0},
    {"cp367", "us-ascii", 0},
    {"ibm367", "us-ascii", 0},
    {"csascii", "us-ascii", 0},
    {"iso-8859-1", nullptr, 1252},
    {"iso_8859-1", "iso-8859-1", 0},
    {"iso8859-1", "iso-8859-1", 0},
    {"latin1", "iso-8859-1", 0},
    {"l1", "iso-8859-1", 0},
    {"cp819", "iso-8859-1", 0},
    {"ibm819", "iso-8859-1", 0},
    {"iso-ir-100", "iso-8859-1", 0},
    {"csisolatin1", "iso-8859-1", 0},
    {"iso-8859-2", nullptr, 1250},
    {"latin2", "iso-8859-2", 0},
    {"l2", "iso-8859-2", 0},
    {"iso-8859-3", nullptr, 28593},
    {"latin3", "iso-8859-3", 0},
    {"iso-8859-4", nullptr, 1257},
    {"latin4", "iso-8859-4", 0},
    {"iso-8859-5", nullptr, 1251},
    {"cyrillic", "iso-8859-5", 0},
    {"iso-8859-6", nullptr, 1256},
    {"arabic", "iso-8859-6", 0},
    {"iso-8859-7", nullptr, 1253},
    {"greek", "iso-8859-7", 0},
    {"iso-8859-8", nullptr, 1255},
    {"iso-8859-8-i", nullptr, 1255},
    {"hebrew", "iso-8859-8", 0},
    {"visual", "iso-8859-8", 0},
    {"logical", "iso-8859-8-i", 0},
    {"iso-8859-9", nullptr, 1254},
    {"latin5", "iso-8859-9", 0},
    {"l5", "iso-8859-9", 0},
    {"iso-8859-13", nullptr, 28603},
    {"iso-8859-15", nullptr, 28605},
    {"latin-9", "iso-8859-15", 0},
    {"latin9", "iso-8859-15", 0},
    {"l9", "iso-8859-15", 0},
    {"windows-1250", nullptr, 1250},
    {"windows-1251", nullptr, 1251},
    {"windows-1252", nullptr, 1252},
    {"windows-1253", nullptr, 1253},
    {"windows-1254", nullptr, 1254},
    {"windows-1255", nullptr, 1255},
    {"windows-1256", nullptr, 1256},
    {"windows-1257", nullptr, 1257},
    {"windows-1258", nullptr, 1258},
    {"x-cp1250", "windows-1250", 0},
    {"x-cp1251", "windows-1251", 0},
    {"cp1250", "windows-1250", 0},
    {"cp1251", "windows-1251", 0},
    {"cp1252", "windows-1252", 0},
    {"cp1253", "windows-1253", 0},
    {"cp1254", "windows-1254", 0},
    {"cp1255", "windows-1255", 0},
    {"cp1256", "windows-1256", 0},
    {"cp1257", "windows-1257", 0},
    {"cp1258", "windows-1258", 0},
    {"windows-874", nullptr, 874},
    {"tis-620", "windows-874", 0},
    {"iso-8859-11", "windows-874", 0},
    {"koi8-r", nullptr, 20866},
    {"cskoi8r", "koi8-r", 0},
    {"koi", "koi8-r", 0},
    {"koi8-u", nullptr, 21866},
    {"koi8-ru", "koi8-u", 0},
    {"ibm437", nullptr, 437},
    {"cp437", "ibm437", 0},
    {"ibm850", nullptr, 850},
    {"cp850", "ibm850", 0},
    {"ibm852", nullptr, 852},
    {"cp852", "ibm852", 0},
    {"ibm866", nullptr, 866},
    {"cp866", "ibm866", 0},
    {"dos-862", nullptr, 862},
    {"macintosh", nullptr, 10000},
    {"shift_jis", nullptr, 932},
    {"shift-jis", "shift_jis", 0},
    {"sjis", "shift_jis", 0},
    {"x-sjis", "shift_jis", 0},
    {"ms_kanji", "shift_jis", 0},
    {"csshiftjis", "shift_jis", 0},
    {"cswindows31j", "shift_jis", 0},
    {"windows-31j", "shift_jis", 0},
    {"cp932", "shift_jis", 0},
    {"euc-jp", nullptr, 51932},
    {"x-euc-jp", "euc-jp", 0},
    {"x-euc", "euc-jp", 0},
    {"cseucpkdfmtjapanese", "euc-jp", 0},
    {"iso-2022-jp", nullptr, 50220},
    {"csiso2022jp", "iso-2022-jp", 0},
    {"gbk", nullptr, 936},
    {"cp936", "gbk", 0},
    {"gb2312", nullptr, 936},
    {"gb_2312-80", "gb2312", 0},
    {"gb2312-80", "gb2312", 0},
    {"chinese", "gb2312", 0},
    {"csgb2312", "gb2312", 0},
    {"csiso58gb231280", "gb2312", 0},
    {"iso-ir-58", "gb2312", 0},
    {"euc-cn", "gb2312", 0},
    {"x-euc-cn", "gb2312", 0},
    {"gb18030", nullptr, 54936},
    {"big5", nullptr, 950},
    {"big-5", "big5", 0},
    {"cn-big5", "big5", 0},
    {"csbig5", "big5", 0},
    {"x-x-big5", "big5", 0},
    {"cp950", "big5", 0},
    {"ks_c_5601-1987", nullptr, 949},
    {"ks_c_5601-1989", "ks_c_5601-1987", 0},
    {"ks_c_5601", "ks_c_5601-1987", 0},
    {"ksc_5601", "ks_c_5601-1987", 0},
    {"ksc5601", "ks_c_5601-1987", 0},
    {"korean", "ks_c_5601-1987", 0},
    {"csksc56011987", "ks_c_5601-1987", 0},
    {"euc-kr", nullptr, 949},
    {"cseuckr", "euc-kr", 0},
    {"cp949", "ks_c_5601-1987", 0},
    {"iso-2022-kr", nullptr, 50225},
    {"csiso2022kr", "iso-2022-kr", 0},
};

struct MibEntry {
    unsigned number;
    std::string_view name;
};
constexpr MibEntry kMibEnums[] = {
    {3, "us-ascii"},           {4, "iso-8859-1"},  {5, "iso-8859-2"}, {6, "iso-8859-3"},
    {7, "iso-8859-4"},         {8, "iso-8859-5"},  {9, "iso-8859-6"}, {10, "iso-8859-7"},
    {11, "iso-8859-8"},        {12, "iso-8859-9"}, {17, "shift_JIS"}, {106, "utf-8"},
    {1000, "iso-10646-ucs-2"}, {2025, "gb2312"},   {2026, "big5"},
};

// WSP well-known content types, by their assigned numbers.
constexpr std::string_view kContentTypes[] = {
    "*/*",                                        // 0x00
    "text/*",                                     // 0x01
    "text/html",                                  // 0x02
    "text/plain",                                 // 0x03
    "text/x-hdml",                                // 0x04
    "text/x-ttml",                                // 0x05
    "text/x-vCalendar",                           // 0x06
    "text/x-vCard",                               // 0x07
    "text/vnd.wap.wml",                           // 0x08
    "text/vnd.wap.wmlscript",                     // 0x09
    "text/vnd.wap.wta-event",                     // 0x0A
    "multipart/*",                                // 0x0B
    "multipart/mixed",                            // 0x0C
    "multipart/form-data",                        // 0x0D
    "multipart/byteranges",                       // 0x0E
    "multipart/alternative",                      // 0x0F
    "application/*",                              // 0x10
    "application/java-vm",                        // 0x11
    "application/x-www-form-urlencoded",          // 0x12
    "application/x-hdmlc",                        // 0x13
    "application/vnd.wap.wmlc",                   // 0x14
    "application/vnd.wap.wmlscriptc",             // 0x15
    "application/vnd.wap.wta-eventc",             // 0x16
    "application/vnd.wap.uaprof",                 // 0x17
    "application/vnd.wap.wtls-ca-certificate",    // 0x18
    "application/vnd.wap.wtls-user-certificate",  // 0x19
    "application/x-x509-ca-cert",                 // 0x1A
    "application/x-x509-user-cert",               // 0x1B
    "image/*",                                    // 0x1C
    "image/gif",                                  // 0x1D
    "image/jpeg",                                 // 0x1E
    "image/tiff",                                 // 0x1F
    "image/png",                                  // 0x20
    "image/vnd.wap.wbmp",                         // 0x21
    "application/vnd.wap.multipart.*",            // 0x22
    "application/vnd.wap.multipart.mixed",        // 0x23
    "application/vnd.wap.multipart.form-data",    // 0x24
    "application/vnd.wap.multipart.byteranges",   // 0x25
    "application/vnd.wap.multipart.alternative",  // 0x26
    "application/xml",                            // 0x27
    "text/xml",                                   // 0x28
    "application/vnd.wap.wbxml",                  // 0x29
    "application/x-x968-cross-cert",              // 0x2A
    "application/x-x968-ca-cert",                 // 0x2B
    "application/x-x968-user-cert",               // 0x2C
    "text/vnd.wap.si",                            // 0x2D
    "application/vnd.wap.sic",                    // 0x2E
    "text/vnd.wap.sl",                            // 0x2F
    "application/vnd.wap.slc",                    // 0x30
    "text/vnd.wap.co",                            // 0x31
    "application/vnd.wap.coc",                    // 0x32
    "application/vnd.wap.multipart.related",      // 0x33
    "application/vnd.wap.sia",                    // 0x34
    "text/vnd.wap.connectivity-xml",              // 0x35
    "application/vnd.wap.connectivity-wbxml",     // 0x36
    "application/pkcs7-mime",                     // 0x37
    "application/vnd.wap.hashed-certificate",     // 0x38
    "application/vnd.wap.signed-certificate",     // 0x39
    "application/vnd.wap.cert-response",          // 0x3A
    "application/xhtml+xml",                      // 0x3B
    "application/wml+xml",                        // 0x3C
    "text/css",                                   // 0x3D
    "application/vnd.wap.mms-message",            // 0x3E
    "application/vnd.wap.rollover-certificate",   // 0x3F
    "application/vnd.wap.locc+wbxml",             // 0x40
    "application/vnd.wap.loc+xml",                // 0x41
    "application/vnd.syncml.dm+wbxml",            // 0x42
    "application/vnd.syncml.dm+xml",              // 0x43
    "application/vnd.syncml.notification",        // 0x44
    "application/vnd.wap.xhtml+xml",              // 0x45
    "application/vnd.wv.csp.cir",                 // 0x46
    "application/vnd.oma.dd+xml",                 // 0x47
    "application/vnd.oma.drm.message",            // 0x48
    "application/vnd.oma.drm.content",            // 0x49
    "application/vnd.oma.drm.rights+xml",         // 0x4A
    "application/vnd.oma.drm.rights+wbxml",       // 0x4B
    "application/vnd.wv.csp+xml",                 // 0x4C
    "application/vnd.wv.csp+wbxml",               // 0x4D
    "application/vnd.syncml.ds.notification",     // 0x4E
};
constexpr unsigned kLastDecodedContentType = 70;

}  // namespace

std::string utf8_to_win1252(std::string_view utf8, size_t size) {
    const std::u16string units = utf8_to_utf16(utf8);
    const size_t max_bytes = size == kNoLimit ? units.size() : (size ? size - 1 : 0);
    std::string out;
    out.reserve(std::min(units.size(), max_bytes));
    for (size_t k = 0; k < units.size() && out.size() < max_bytes; ++k) {
        char32_t cp = units[k];
        if (cp >= 0xD800 && cp <= 0xDBFF) ++k;  // a pair: one character, one '?'
        const int b = win1252_byte(cp);
        out.push_back(b < 0 ? kUnmappable : char(b));
    }
    return out;
}

std::string win1252_to_utf8(std::string_view text, size_t size) {
    text = until_nul(text);
    std::u16string units;
    units.reserve(std::min(text.size(), kUtf16Capacity - 1));
    for (size_t i = 0; i < text.size() && units.size() < kUtf16Capacity - 1; ++i)
        units.push_back(win1252_code_point(static_cast<unsigned char>(text[i])));
    return utf16_to_utf8(units, size);
}

std::string code_page_iconv_name(unsigned code_page) {
    switch (code_page) {
        case 65001:
            return "UTF-8";
        case 1200:
            return "UTF-16LE";
        case 1201:
            return "UTF-16BE";
        case 20127:
            return "ASCII";
        case 20866:
            return "KOI8-R";
        case 21866:
            return "KOI8-U";
        case 20932:
        case 51932:
            return "EUC-JP";
        case 51936:
            return "EUC-CN";
        case 51949:
            return "EUC-KR";
        case 54936:
            return "GB18030";
        case 50220:
        case 50221:
        case 50222:
            return "ISO-2022-JP";
        case 50225:
            return "ISO-2022-KR";
        case 10000:
            return "MACINTOSH";
        case 28603:
            return "ISO-8859-13";
        case 28605:
            return "ISO-8859-15";
        default:
            break;
    }
    if (code_page >= 28591 && code_page <= 28599)
        return platform::strprintf("ISO-8859-%u", code_page - 28590);
    return platform::strprintf("CP%u", code_page);
}

bool utf8_to_code_page(std::string& text, unsigned code_page, size_t size) {
    static constexpr std::string_view kTag = "UTF8ToLocalString";
    if (code_page == 1252) {
        text = utf8_to_win1252(text, size);
        return true;
    }
    std::u16string units = utf8_to_utf16(text);
    if (code_page == 1256) {  // Arabic-Indic digits travel as ASCII digits
        for (char16_t& u : units)
            if (u >= 0x0660 && u <= 0x0669) u = char16_t('0' + (u - 0x0660));
    }
    iconv_t cd = cached_iconv(code_page_iconv_name(code_page), kUtf16Host);
    if (!cd) {
        platform::trace(kTag,
                        platform::strprintf("Error %u from WideCharToMultiByte", unsigned(errno)));
        return false;
    }
    const size_t max_bytes = size == kNoLimit ? units.size() * 8 + 16 : (size ? size - 1 : 0);
    std::string out(max_bytes, '\0');
    char* dst = out.data();
    size_t dst_left = out.size();
    char* src = reinterpret_cast<char*>(units.data());
    size_t src_left = units.size() * sizeof(char16_t);
    int error = 0;
    while (src_left > 0) {
        if (iconv(cd, &src, &src_left, &dst, &dst_left) != size_t(-1)) break;
        if (errno == EILSEQ || errno == EINVAL) {
            // Characters the code page lacks become its default character.
            char16_t question = u'?';
            char* q = reinterpret_cast<char*>(&question);
            size_t q_left = sizeof question;
            if (iconv(cd, &q, &q_left, &dst, &dst_left) == size_t(-1)) {
                error = errno;
                break;
            }
            const auto* unit = reinterpret_cast<const char16_t*>(src);
            const size_t skip = (*unit >= 0xD800 && *unit <= 0xDBFF && src_left >= 4) ? 4 : 2;
            src += std::min(skip, src_left);
            src_left -= std::min(skip, src_left);
        } else {
            error = errno;  // E2BIG: the buffer is full; keep what fitted
            break;
        }
    }
    if (!error && iconv(cd, nullptr, nullptr, &dst, &dst_left) == size_t(-1)) error = errno;
    out.resize(out.size() - dst_left);
    text = std::move(out);
    if (error) {
        platform::trace(kTag,
                        platform::strprintf("Error %u from WideCharToMultiByte", unsigned(error)));
        return false;
    }
    return true;
}

bool code_page_to_utf8(std::string& text, unsigned code_page, size_t size) {
    static constexpr std::string_view kTag = "LocalToUTF8String";
    if (code_page == 1252) {
        text = win1252_to_utf8(text, size);
        return true;
    }
    iconv_t cd = cached_iconv(kUtf16Host, code_page_iconv_name(code_page));
    if (!cd) {
        platform::trace(kTag,
                        platform::strprintf("Error %u from MultiByteToWideChar", unsigned(errno)));
        return false;
    }
    std::string input(until_nul(text));
    // No code page gives more than two units per byte; the scratch never passes its bound.
    std::u16string units(std::min(kCodePageUtf16Capacity - 1, input.size() * 2 + 2), u'\0');
    char* dst = reinterpret_cast<char*>(units.data());
    size_t dst_left = units.size() * sizeof(char16_t);
    char* src = input.data();
    size_t src_left = input.size();
    auto put_question = [&] {
        if (dst_left < sizeof(char16_t)) return;
        const char16_t q = u'?';
        std::memcpy(dst, &q, sizeof q);
        dst += sizeof q;
        dst_left -= sizeof q;
    };
    while (src_left > 0) {
        if (iconv(cd, &src, &src_left, &dst, &dst_left) != size_t(-1)) break;
        if (errno == EILSEQ) {  // a byte the code page does not define
            put_question();
            ++src;
            --src_left;
        } else if (errno == EINVAL) {  // the text ends inside a multi-byte character
            put_question();
            break;
        } else {
            break;  // E2BIG: the text is cut at the scratch capacity
        }
    }
    units.resize(units.size() - dst_left / sizeof(char16_t));
    text = utf16_to_utf8(units, size);
    return true;
}

unsigned charset_to_code_page(std::string_view name) {
    if (name.empty()) return 0;
    // The built-in rows, looked up as "name=".
    std::string_view rows = kCharsetRows;
    while (!rows.empty()) {
        const size_t eol = rows.find('\n');
        const std::string_view line = rows.substr(0, eol);
        rows = eol == std::string_view::npos ? std::string_view{} : rows.substr(eol + 1);
        if (line.size() > name.size() && line[name.size()] == '=' &&
            platform::iequals(line.substr(0, name.size()), name)) {
            unsigned value = 0;
            for (char c : line.substr(name.size() + 1)) {
                if (c < '0' || c > '9') break;
                value = value * 10 + unsigned(c - '0');
            }
            return value;
        }
    }
    // The charset database, following aliases a bounded number of times.
    std::string current(name);
    for (int hop = 0; hop <= 11; ++hop) {
        const CharsetEntry* found = nullptr;
        for (const auto& e : kCharsetDatabase) {
            if (platform::iequals(e.name, current)) {
                found = &e;
                break;
            }
        }
        if (!found) return 0;
        if (!found->alias) return found->code_page;
        current = found->alias;
    }
    return 0;
}

std::string_view mibenum_to_name(unsigned mibenum) {
    for (const auto& e : kMibEnums)
        if (e.number == mibenum) return e.name;
    return "unknown";
}

unsigned name_to_mibenum(std::string_view name) {
    for (const auto& e : kMibEnums)
        if (platform::iequals(e.name, name)) return e.number;
    return 0;
}

unsigned content_type_to_number(std::string_view name) {
    for (unsigned k = 0; k < std::size(kContentTypes); ++k)
        if (platform::iequals(kContentTypes[k], name)) return k;
    return 255;
}

std::string_view number_to_content_type(unsigned number) {
    number &= 0x7F;
    if (number <= kLastDecodedContentType) return kContentTypes[number];
    return "application/unknown";
}

}  // namespace radio::charset
