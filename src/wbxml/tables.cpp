// Token tables of the document types, from their published WBXML encodings.
#include "wbxml/tables.h"

#include <array>

namespace wbxml::detail {

namespace {

using F = AttrForm;

// --- Service Loading ---------------------------------------------------------
constexpr std::string_view kSlRoots[] = {"<sl"};
constexpr TagToken kSlTags[] = {{"sl", 0, 0x05}};
constexpr AttrToken kSlAttrs[] = {
    {"action", "execute-low", F::Exact, 0, 0x05},  {"action", "execute-high", F::Exact, 0, 0x06},
    {"action", "cache", F::Exact, 0, 0x07},        {"action", "", F::NoValue, 0, 0x06},
    {"href", "http://www.", F::Prefix, 0, 0x0A},   {"href", "http://", F::Prefix, 0, 0x09},
    {"href", "https://www.", F::Prefix, 0, 0x0C},  {"href", "https://", F::Prefix, 0, 0x0B},
    {"href", "", F::Any, 0, 0x08},
};

// --- Service Indication ------------------------------------------------------
constexpr std::string_view kSiRoots[] = {"<si"};
constexpr TagToken kSiTags[] = {
    {"si", 0, 0x05}, {"indication", 0, 0x06}, {"info", 0, 0x07}, {"item", 0, 0x08}};
constexpr AttrToken kSiAttrs[] = {
    {"action", "signal-none", F::Exact, 0, 0x05},  {"action", "signal-low", F::Exact, 0, 0x06},
    {"action", "signal-medium", F::Exact, 0, 0x07}, {"action", "signal-high", F::Exact, 0, 0x08},
    {"action", "delete", F::Exact, 0, 0x09},       {"created", "", F::Date, 0, 0x0A},
    {"href", "http://www.", F::Prefix, 0, 0x0D},   {"href", "http://", F::Prefix, 0, 0x0C},
    {"href", "https://www.", F::Prefix, 0, 0x0F},  {"href", "https://", F::Prefix, 0, 0x0E},
    {"href", "", F::Any, 0, 0x0B},                 {"si-expires", "", F::Date, 0, 0x10},
    {"si-id", "", F::Any, 0, 0x11},                {"class", "", F::Any, 0, 0x12},
};
constexpr ValueToken kUrlValues[] = {
    {".com/", 0, 0x85}, {".edu/", 0, 0x86}, {".net/", 0, 0x87}, {".org/", 0, 0x88}};

// --- Cache Operation ---------------------------------------------------------
constexpr std::string_view kCoRoots[] = {"<co"};
constexpr TagToken kCoTags[] = {
    {"co", 0, 0x05}, {"invalidate-object", 0, 0x06}, {"invalidate-service", 0, 0x07}};
constexpr AttrToken kCoAttrs[] = {
    {"uri", "http://www.", F::Prefix, 0, 0x07},  {"uri", "http://", F::Prefix, 0, 0x06},
    {"uri", "https://www.", F::Prefix, 0, 0x09}, {"uri", "https://", F::Prefix, 0, 0x08},
    {"uri", "", F::Any, 0, 0x05},
};

// --- OMA client provisioning -------------------------------------------------
constexpr std::string_view kProvRoots[] = {"<wap-provisioningdoc", "<wap-provisioning"};
constexpr TagToken kProvTags[] = {
    {"wap-provisioningdoc", 0, 0x05}, {"wap-provisioning", 0, 0x05}, {"characteristic", 0, 0x06},
    {"parm", 0, 0x07}};
#define N(v, t) {"name", v, F::Exact, 0, t}
#define N1(v, t) {"name", v, F::Exact, 1, t}
#define T(v, t) {"type", v, F::Exact, 0, t}
#define T1(v, t) {"type", v, F::Exact, 1, t}
constexpr AttrToken kProvAttrs[] = {
    N("NAME", 0x07), N("NAP-ADDRESS", 0x08), N("NAP-ADDRTYPE", 0x09), N("CALLTYPE", 0x0A),
    N("VALIDUNTIL", 0x0B), N("AUTHTYPE", 0x0C), N("AUTHNAME", 0x0D), N("AUTHSECRET", 0x0E),
    N("LINGER", 0x0F), N("BEARER", 0x10), N("NAPID", 0x11), N("COUNTRY", 0x12),
    N("NETWORK", 0x13), N("INTERNET", 0x14), N("PROXY-ID", 0x15), N("PROXY-PROVIDER-ID", 0x16),
    N("DOMAIN", 0x17), N("PROVURL", 0x18), N("PXAUTH-TYPE", 0x19), N("PXAUTH-ID", 0x1A),
    N("PXAUTH-PW", 0x1B), N("STARTPAGE", 0x1C), N("BASAUTH-ID", 0x1D), N("BASAUTH-PW", 0x1E),
    N("PUSHENABLED", 0x1F), N("PXADDR", 0x20), N("PXADDRTYPE", 0x21), N("TO-NAPID", 0x22),
    N("PORTNBR", 0x23), N("SERVICE", 0x24), N("LINKSPEED", 0x25), N("DNLINKSPEED", 0x26),
    N("LOCAL-ADDR", 0x27), N("LOCAL-ADDRTYPE", 0x28), N("CONTEXT-ALLOW", 0x29),
    N("TRUST", 0x2A), N("MASTER", 0x2B), N("SID", 0x2C), N("SOC", 0x2D),
    N("WSP-VERSION", 0x2E), N("PHYSICAL-PROXY-ID", 0x2F), N("CLIENT-ID", 0x30),
    N("DELIVERY-ERR-SDU", 0x31), N("DELIVERY-ORDER", 0x32), N("TRAFFIC-CLASS", 0x33),
    N("MAX-SDU-SIZE", 0x34), N("MAX-BITRATE-UPLINK", 0x35), N("MAX-BITRATE-DNLINK", 0x36),
    N("RESIDUAL-BER", 0x37), N("SDU-ERROR-RATIO", 0x38), N("TRAFFIC-HANDL-PRIO", 0x39),
    N("TRANSFER-DELAY", 0x3A), N("GUARANTEED-BITRATE-UPLINK", 0x3B),
    N("GUARANTEED-BITRATE-DNLINK", 0x3C), N("PXADDR-FQDN", 0x3D), N("PROXY-PW", 0x3E),
    N("PPGAUTH-TYPE", 0x3F), N("PULLENABLED", 0x47), N("DNS-ADDR", 0x48),
    N("MAX-NUM-RETRY", 0x49), N("FIRST-RETRY-TIMEOUT", 0x4A), N("REREG-THRESHOLD", 0x4B),
    N("T-BIT", 0x4C), N("AUTH-ENTITY", 0x4E), N("SPI", 0x4F),
    {"name", "", F::Any, 0, 0x05}, {"value", "", F::Any, 0, 0x06},
    {"version", "1.0", F::Exact, 0, 0x46}, {"version", "", F::Any, 0, 0x45},
    T("PXLOGICAL", 0x51), T("PXPHYSICAL", 0x52), T("PORT", 0x53), T("VALIDITY", 0x54),
    T("NAPDEF", 0x55), T("BOOTSTRAP", 0x56), T("VENDORCONFIG", 0x57),
    T("CLIENTIDENTITY", 0x58), T("PXAUTHINFO", 0x59), T("NAPAUTHINFO", 0x5A),
    T("ACCESS", 0x5B), {"type", "", F::Any, 0, 0x50},
    // Provisioning 1.1 application characteristics, on code page 1.
    N1("AACCEPT", 0x2E), N1("AAUTHDATA", 0x2F), N1("AAUTHLEVEL", 0x30), N1("AAUTHNAME", 0x31),
    N1("AAUTHSECRET", 0x32), N1("AAUTHTYPE", 0x33), N1("ADDR", 0x34), N1("ADDRTYPE", 0x35),
    N1("APPID", 0x36), N1("APROTOCOL", 0x37), N1("PROVIDER-ID", 0x38), N1("TO-PROXY", 0x39),
    N1("URI", 0x3A), N1("RULE", 0x3B), T1("APPLICATION", 0x55), T1("APPADDR", 0x56),
    T1("APPAUTH", 0x57), T1("RESOURCE", 0x59),
};
#undef N
#undef N1
#undef T
#undef T1
constexpr ValueToken kProvValues[] = {
    {"IPV4", 0, 0x85}, {"IPV6", 0, 0x86}, {"E164", 0, 0x87}, {"ALPHA", 0, 0x88},
    {"APN", 0, 0x89}, {"SCODE", 0, 0x8A}, {"TETRA-ITSI", 0, 0x8B}, {"MAN", 0, 0x8C},
    {"ANALOG-MODEM", 0, 0x90}, {"V.120", 0, 0x91}, {"V.110", 0, 0x92}, {"X.31", 0, 0x93},
    {"BIT-TRANSPARENT", 0, 0x94}, {"DIRECT-ASYNCHRONOUS-DATA-SERVICE", 0, 0x95},
    {"PAP", 0, 0x9A}, {"CHAP", 0, 0x9B}, {"HTTP-BASIC", 0, 0x9C}, {"HTTP-DIGEST", 0, 0x9D},
    {"WTLS-SS", 0, 0x9E}, {"MD5", 0, 0x9F}, {"GSM-USSD", 0, 0xA2}, {"GSM-SMS", 0, 0xA3},
    {"ANSI-136-GUTS", 0, 0xA4}, {"IS-95-CDMA-SMS", 0, 0xA5}, {"IS-95-CDMA-CSD", 0, 0xA6},
    {"IS-95-CDMA-PACKET", 0, 0xA7}, {"ANSI-136-CSD", 0, 0xA8}, {"ANSI-136-GPRS", 0, 0xA9},
    {"GSM-CSD", 0, 0xAA}, {"GSM-GPRS", 0, 0xAB}, {"AMPS-CDPD", 0, 0xAC}, {"PDC-CSD", 0, 0xAD},
    {"PDC-PACKET", 0, 0xAE}, {"IDEN-SMS", 0, 0xAF}, {"IDEN-CSD", 0, 0xB0},
    {"IDEN-PACKET", 0, 0xB1}, {"FLEX/REFLEX", 0, 0xB2}, {"PHS-SMS", 0, 0xB3},
    {"PHS-CSD", 0, 0xB4}, {"TETRA-SDS", 0, 0xB5}, {"TETRA-PACKET", 0, 0xB6},
    {"ANSI-136-GHOST", 0, 0xB7}, {"MOBITEX-MPAK", 0, 0xB8}, {"CDMA2000-1X-SIMPLE-IP", 0, 0xB9},
    {"CDMA2000-1X-MOBILE-IP", 0, 0xBA}, {"AUTOBAUDING", 0, 0xC5}, {"CL-WSP", 0, 0xCA},
    {"CO-WSP", 0, 0xCB}, {"CL-SEC-WSP", 0, 0xCC}, {"CO-SEC-WSP", 0, 0xCD},
    {"CL-SEC-WTA", 0, 0xCE}, {"CO-SEC-WTA", 0, 0xCF}, {"OTA-HTTP-TO", 0, 0xD0},
    {"OTA-HTTP-TLS-TO", 0, 0xD1}, {"OTA-HTTP-PO", 0, 0xD2}, {"OTA-HTTP-TLS-PO", 0, 0xD3},
    {"AAA", 0, 0xE0}, {"HA", 0, 0xE1},
};

// --- Older browser settings (CHARACTERISTIC-LIST) ----------------------------
constexpr std::string_view kOtaRoots[] = {"<CHARACTERISTIC-LIST"};
constexpr TagToken kOtaTags[] = {
    {"CHARACTERISTIC-LIST", 0, 0x05}, {"CHARACTERISTIC", 0, 0x06}, {"PARM", 0, 0x07}};
#define OT(v, t) {"TYPE", v, F::Exact, 0, t}
#define ON(v, t) {"NAME", v, F::Exact, 0, t}
#define OV(v, t) {"VALUE", v, F::Exact, 0, t}
constexpr AttrToken kOtaAttrs[] = {
    OT("ADDRESS", 0x06), OT("URL", 0x07), OT("NAME", 0x08), OT("MMSURL", 0x7C), OT("ID", 0x7D),
    OT("BOOKMARK", 0x7F), {"TYPE", "", F::Any, 0, 0x05},
    ON("BEARER", 0x12), ON("PROXY", 0x13), ON("PORT", 0x14), ON("NAME", 0x15),
    ON("PROXY_TYPE", 0x16), ON("URL", 0x17), ON("PROXY_AUTHNAME", 0x18),
    ON("PROXY_AUTHSECRET", 0x19), ON("SMS_SMSC_ADDRESS", 0x1A), ON("USSD_SERVICE_CODE", 0x1B),
    ON("GPRS_ACCESSPOINTNAME", 0x1C), ON("PPP_LOGINTYPE", 0x1D), ON("PROXY_LOGINTYPE", 0x1E),
    ON("CSD_DIALSTRING", 0x21), ON("PPP_AUTHTYPE", 0x22), ON("PPP_AUTHNAME", 0x23),
    ON("PPP_AUTHSECRET", 0x24), ON("CSD_CALLTYPE", 0x28), ON("CSD_CALLSPEED", 0x29),
    ON("ISP_NAME", 0x7E), {"NAME", "", F::Any, 0, 0x10},
    OV("GSM/CSD", 0x45), OV("GSM/SMS", 0x46), OV("GSM/USSD", 0x47), OV("IS-136/CSD", 0x48),
    OV("GPRS", 0x49), OV("9200", 0x60), OV("9201", 0x61), OV("9202", 0x62), OV("9203", 0x63),
    OV("AUTOMATIC", 0x64), OV("MANUAL", 0x65), OV("AUTO", 0x6A), OV("9600", 0x6B),
    OV("14400", 0x6C), OV("19200", 0x6D), OV("28800", 0x6E), OV("38400", 0x6F),
    OV("PAP", 0x70), OV("CHAP", 0x71), OV("ANALOGUE", 0x72), OV("ISDN", 0x73),
    OV("43200", 0x74), OV("57600", 0x75), OV("MSISDN_NO", 0x76), OV("IPV4", 0x77),
    OV("MS_CHAP", 0x78), {"VALUE", "", F::Any, 0, 0x11},
};
#undef OT
#undef ON
#undef OV

// --- Settings documents known by their root only (content as literals) -----
constexpr std::string_view kSyncSettingsRoots[] = {"<SyncSettings"};
constexpr std::string_view kWvRoots[] = {"<WVSettings"};
constexpr std::string_view kPocRoots[] = {"<characteristic"};

// --- SyncML 1.1 ---------------------------------------------------------------
constexpr std::string_view kSyncMLRoots[] = {"<SyncML"};
constexpr TagToken kSyncMLTags[] = {
    {"Add", 0, 0x05}, {"Alert", 0, 0x06}, {"Archive", 0, 0x07}, {"Atomic", 0, 0x08},
    {"Chal", 0, 0x09}, {"Cmd", 0, 0x0A}, {"CmdID", 0, 0x0B}, {"CmdRef", 0, 0x0C},
    {"Copy", 0, 0x0D}, {"Cred", 0, 0x0E}, {"Data", 0, 0x0F}, {"Delete", 0, 0x10},
    {"Exec", 0, 0x11}, {"Final", 0, 0x12}, {"Get", 0, 0x13}, {"Item", 0, 0x14},
    {"Lang", 0, 0x15}, {"LocName", 0, 0x16}, {"LocURI", 0, 0x17}, {"Map", 0, 0x18},
    {"MapItem", 0, 0x19}, {"Meta", 0, 0x1A}, {"MsgID", 0, 0x1B}, {"MsgRef", 0, 0x1C},
    {"NoResp", 0, 0x1D}, {"NoResults", 0, 0x1E}, {"Put", 0, 0x1F}, {"Replace", 0, 0x20},
    {"RespURI", 0, 0x21}, {"Results", 0, 0x22}, {"Search", 0, 0x23}, {"Sequence", 0, 0x24},
    {"SessionID", 0, 0x25}, {"SftDel", 0, 0x26}, {"Source", 0, 0x27}, {"SourceRef", 0, 0x28},
    {"Status", 0, 0x29}, {"Sync", 0, 0x2A}, {"SyncBody", 0, 0x2B}, {"SyncHdr", 0, 0x2C},
    {"SyncML", 0, 0x2D}, {"Target", 0, 0x2E}, {"TargetRef", 0, 0x2F}, {"VerDTD", 0, 0x31},
    {"VerProto", 0, 0x32}, {"NumberOfChanges", 0, 0x33}, {"MoreData", 0, 0x34},
    // Meta information, code page 1.
    {"Anchor", 1, 0x05}, {"EMI", 1, 0x06}, {"Format", 1, 0x07}, {"FreeID", 1, 0x08},
    {"FreeMem", 1, 0x09}, {"Last", 1, 0x0A}, {"Mark", 1, 0x0B}, {"MaxMsgSize", 1, 0x0C},
    {"Mem", 1, 0x0D}, {"MetInf", 1, 0x0E}, {"Next", 1, 0x0F}, {"NextNonce", 1, 0x10},
    {"SharedMem", 1, 0x11}, {"Size", 1, 0x12}, {"Type", 1, 0x13}, {"Version", 1, 0x14},
    {"MaxObjSize", 1, 0x15},
};

// --- OMA DRM rights object 1.0 ----------------------------------------------
constexpr std::string_view kDrmRoots[] = {"<o-ex:rights"};
constexpr TagToken kDrmTags[] = {
    {"o-ex:rights", 0, 0x05},    {"o-ex:context", 0, 0x06},  {"o-dd:version", 0, 0x07},
    {"o-dd:uid", 0, 0x08},       {"o-ex:agreement", 0, 0x09}, {"o-ex:asset", 0, 0x0A},
    {"ds:KeyInfo", 0, 0x0B},     {"ds:KeyValue", 0, 0x0C},   {"o-ex:permission", 0, 0x0D},
    {"o-dd:play", 0, 0x0E},      {"o-dd:display", 0, 0x0F},  {"o-dd:execute", 0, 0x10},
    {"o-dd:print", 0, 0x11},     {"o-ex:constraint", 0, 0x12}, {"o-dd:count", 0, 0x13},
    {"o-dd:datetime", 0, 0x14},  {"o-dd:start", 0, 0x15},    {"o-dd:end", 0, 0x16},
    {"o-dd:interval", 0, 0x17},
};
constexpr AttrToken kDrmAttrs[] = {
    {"xmlns:o-ex", "", F::Any, 0, 0x05},
    {"xmlns:o-dd", "", F::Any, 0, 0x06},
    {"xmlns:ds", "", F::Any, 0, 0x07},
};
constexpr ValueToken kDrmValues[] = {
    {"http://odrl.net/1.1/ODRL-EX", 0, 0x85},
    {"http://odrl.net/1.1/ODRL-DD", 0, 0x86},
    {"http://www.w3.org/2000/09/xmldsig#/", 0, 0x87},
};

// --- OMA DRM ROAP trigger ----------------------------------------------------
constexpr std::string_view kRoapRoots[] = {"<roap:roapTrigger"};
constexpr TagToken kRoapTags[] = {{"roap:roapTrigger", 0, 0x05}};

// --- E-mail notification ------------------------------------------------------
constexpr std::string_view kEmnRoots[] = {"<emn"};
constexpr TagToken kEmnTags[] = {{"emn", 0, 0x05}};
constexpr AttrToken kEmnAttrs[] = {
    {"timestamp", "", F::Date, 0, 0x05},          {"mailbox", "mailat:", F::Prefix, 0, 0x07},
    {"mailbox", "pop://", F::Prefix, 0, 0x08},    {"mailbox", "imap://", F::Prefix, 0, 0x09},
    {"mailbox", "http://www.", F::Prefix, 0, 0x0B}, {"mailbox", "http://", F::Prefix, 0, 0x0A},
    {"mailbox", "https://www.", F::Prefix, 0, 0x0D}, {"mailbox", "https://", F::Prefix, 0, 0x0C},
    {"mailbox", "", F::Any, 0, 0x06},
};
constexpr ValueToken kEmnValues[] = {
    {".com", 0, 0x85}, {".edu", 0, 0x86}, {".net", 0, 0x87}, {".org", 0, 0x88}};

const std::array<FamilyTable, kFamilyCount> kTables = {{
    {Family::ServiceLoading, "PushSLCompile", kSlRoots, true, 0x02, 0x06, kSlTags, kSlAttrs, {},
     "application/vnd.wap.slc", "text/vnd.wap.sl", true},
    {Family::ServiceIndication, "PushSICompile", kSiRoots, true, 0x02, 0x05, kSiTags, kSiAttrs,
     kUrlValues, "application/vnd.wap.sic", "text/vnd.wap.si", true},
    {Family::CacheOperation, "PushCOCompile", kCoRoots, true, 0x02, 0x07, kCoTags, kCoAttrs,
     kUrlValues, "application/vnd.wap.coc", "text/vnd.wap.co", true},
    {Family::OmaProvisioning, "OTAOMACompile", kProvRoots, false, 0x03, 0x0B, kProvTags,
     kProvAttrs, kProvValues, "application/vnd.wap.connectivity-wbxml",
     "text/vnd.wap.connectivity-xml", true},
    {Family::BrowserSettings, "OTACompile", kOtaRoots, false, 0x01, 0x01, kOtaTags, kOtaAttrs, {},
     "application/x-wap-prov.browser-settings", "", false},
    {Family::SyncSettings, "OTASyncMLCompile", kSyncSettingsRoots, false, 0x01, 0x01, {}, {}, {},
     "application/vnd.wap.sync-settings", "", false},
    {Family::WvSettings, "OTAWVCompile", kWvRoots, false, 0x01, 0x01, {}, {}, {},
     "application/vnd.wv.csp.settings", "", false},
    {Family::SyncML, "SyncMLCompile", kSyncMLRoots, false, 0x02, 0x01, kSyncMLTags, {}, {},
     "application/vnd.syncml+wbxml", "application/vnd.syncml+xml", true},
    {Family::DrmRights, "OMADRMCompile", kDrmRoots, false, 0x03, 0x0E, kDrmTags, kDrmAttrs,
     kDrmValues, "application/vnd.oma.drm.rights+wbxml", "application/vnd.oma.drm.rights+xml",
     true},
    {Family::RoapTrigger, "OMAROAPCompile", kRoapRoots, false, 0x03, 0x13, kRoapTags, {}, {},
     "application/vnd.oma.drm.roap-trigger+wbxml", "application/vnd.oma.drm.roap-trigger+xml",
     true},
    {Family::EmailNotification, "OMAEMNCompile", kEmnRoots, false, 0x03, 0x0D, kEmnTags,
     kEmnAttrs, kEmnValues, "application/vnd.wap.emn+wbxml", "application/vnd.wap.emn+xml", true},
    {Family::PocSettings, "NokiaPoCCompile", kPocRoots, false, 0x01, 0x01, {}, {}, {},
     "application/x-wap-prov.poc-settings", "", false},
}};

}  // namespace

const FamilyTable& family_table(Family f) { return kTables[static_cast<size_t>(f)]; }

}  // namespace wbxml::detail
