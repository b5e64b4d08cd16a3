// WBXML compilers of the push and over-the-air documents: Service Loading
// and Indication, Cache Operation, OMA client provisioning, the older
// browser-settings forms, SyncML, DRM rights and ROAP triggers, e-mail
// notification. One scanner serves them all; they differ in the root element
// they look for, the header bytes they write and their token tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wbxml {

// The switches of [SMSGW] the compilers read, gathered once per document.
struct CompileOptions {
    uint8_t version = 0x02;         // WAPPushWBXMLVersion: minor & 0x7F when major != 0
    bool use_utf8 = true;           // WAPPushUseUTF8: false never writes UTF-8
    bool oma_string_table = true;   // OTAUseWBXMLStringTable
    bool oma_code_pages = true;     // !DisableOMACodePageSwitch: page 1 tokens of provisioning 1.1
    bool oma_prov_cont12 = false;   // UseOMAProvCont12: the 1.2 public identifier and tokens
    bool oma_no_literals = false;   // OMAProvisioningContentDisableLiterals: unknown elements dropped
};
CompileOptions options_from_settings();

// The members of the family, by the name they trace under.
enum class Family {
    ServiceLoading,     // "PushSLCompile"
    ServiceIndication,  // "PushSICompile"
    CacheOperation,     // "PushCOCompile"
    OmaProvisioning,    // "OTAOMACompile"
    BrowserSettings,    // "OTACompile"
    SyncSettings,       // "OTASyncMLCompile"
    WvSettings,         // "OTAWVCompile"
    SyncML,             // "SyncMLCompile"
    DrmRights,          // "OMADRMCompile"
    RoapTrigger,        // "OMAROAPCompile"
    EmailNotification,  // "OMAEMNCompile"
    PocSettings,        // "NokiaPoCCompile"
};
inline constexpr int kFamilyCount = 12;

std::string_view family_trace_name(Family f);

// Compiles text (the document as submitted) into out (replaced). Returns
// the output length; 0, out empty, when the document has no root element of
// this family or cannot be compiled within the bounds (nesting deeper than
// kMaxDepth). input_utf8 reads the text as UTF-8 (also when its XML
// declaration says so); allow_utf8_out permits UTF-8 output. code_page, when
// given, receives -1 for UTF-8 input, else the code page of the declaration
// (or the default).
size_t compile(Family f, std::string_view text, std::string& out, bool input_utf8,
               bool allow_utf8_out, int* code_page = nullptr,
               const CompileOptions& options = options_from_settings());

// The compilers by their own names (input UTF-8 allowed both ways, the
// settings read from [SMSGW]).
size_t PushSLCompile(std::string_view text, std::string& out, bool input_utf8 = true,
                     bool allow_utf8_out = true, int* code_page = nullptr);
size_t PushSICompile(std::string_view text, std::string& out, bool input_utf8 = true,
                     bool allow_utf8_out = true, int* code_page = nullptr);
size_t PushCOCompile(std::string_view text, std::string& out, bool input_utf8 = true,
                     bool allow_utf8_out = true, int* code_page = nullptr);
size_t OTAOMACompile(std::string_view text, std::string& out, bool input_utf8 = true,
                     bool allow_utf8_out = true, int* code_page = nullptr);
size_t OMADRMCompile(std::string_view text, std::string& out, bool input_utf8 = true,
                     bool allow_utf8_out = true, int* code_page = nullptr);
size_t OMAROAPCompile(std::string_view text, std::string& out, bool input_utf8 = true,
                      bool allow_utf8_out = true, int* code_page = nullptr);
size_t OMAEMNCompile(std::string_view text, std::string& out, bool input_utf8 = true,
                     bool allow_utf8_out = true, int* code_page = nullptr);

// Open elements deeper than this make the document refused (length 0).
inline constexpr size_t kMaxDepth = 256;
// A tag name or one text run longer than this is cut.
inline constexpr size_t kScratchSize = 8192;

// The document type a push carries: chosen by the root element found in
// the text. found is false for a document none of the push families knows
// ("XML Content Not Recognised"). binary_type is the content type of the
// compiled form.
struct PushDocument {
    bool found = false;
    Family family = Family::ServiceLoading;
    std::string_view binary_type;
    std::string_view xml_type;  // the textual type a caller may have given
};
PushDocument detect_push_document(std::string_view text);

// mb_u_int32: 7 bits per octet, most significant first, 0x80 on all but the last.
void append_mb_u_int32(std::string& out, uint32_t value);

}  // namespace wbxml
