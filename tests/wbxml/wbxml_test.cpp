// Document compilers and the push PDU: byte-exact vectors, an independent
// decoder (wbxml2xml) reading every family back, and hostile documents.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "protocols/common/fields.h"
#include "wbxml/compiler.h"
#include "wbxml/wap_push.h"

namespace {

using wbxml::CompileOptions;
using wbxml::Family;

std::string hex(std::string_view bytes) { return protocols::common::to_hex(bytes); }

std::string compile_hex(Family f, std::string_view doc, CompileOptions o = {}) {
    std::string out;
    wbxml::compile(f, doc, out, true, true, nullptr, o);
    return hex(out);
}

TEST(Wbxml, ByteExactVectors) {
    CompileOptions latin1;
    latin1.use_utf8 = false;
    CompileOptions v13;
    v13.version = 0x03;
    struct Case {
        Family f;
        const char* doc;
        const char* want;
        CompileOptions opt;
    } cases[] = {
        // header, empty string table, the prefix folded into the href token
        {Family::ServiceLoading, R"(<sl href="http://www.x"/>)", "02066A00850A03780001", {}},
        {Family::ServiceLoading, R"(<sl href="https://a" action="cache"/>)",
         "02066A00850B0361000701", {}},
        {Family::ServiceLoading, R"(<sl action="sometimes" href='ftp://b'/>)",
         "02066A00850608036674703A2F2F620001", {}},
        {Family::ServiceLoading, R"(<sl href="http://www.x"/>)", "03066A00850A03780001", v13},
        {Family::ServiceLoading, "<sl href=\"http://www.x\"/>", "02060400850A03780001", latin1},
        // a variable with mode e in text, not in the string table: EXT_I_0
        {Family::ServiceIndication, "<si><indication>hi $(user:e)</indication></si>",
         "02056A00" "45" "46" "0368692000" "4075736572" "00" "01" "01", {}},
        // "&amp;" is ENTITY in content and a plain character in an attribute
        {Family::ServiceIndication, R"(<si><indication href="a&amp;b">x&amp;y</indication></si>)",
         "02056A0045C60B036126620001" "037800" "0226" "037900" "0101", {}},
        // "$$" is one dollar, "&#36;" a dollar too; an unclosed element is closed at the end
        {Family::ServiceIndication, "<si><indication>$$5 &#36;&#36;6 $(v)", "02056A004546" "0324352024362000" "427600" "0101", {}},
        // created as an opaque date, trailing zero octets dropped; .com/ as a value token
        {Family::ServiceIndication,
         R"(<si><indication href="http://www.x.com/a" created="1999-06-25T15:00:00Z"/></si>)",
         "02056A0045860D0378008503610" "00AC30519990625150101", {}},
        // the indication of the Service Indication document's own example
        {Family::ServiceIndication,
         R"(<si><indication href="http://www.xyz.com/email/123/abc.wml" created="1999-06-25T15:23:15Z" si-expires="1999-06-30T00:00:00Z">You have 4 new emails</indication></si>)",
         "02056A0045C6" "0D0378797A0085" "03656D61696C2F3132332F6162632E776D6C00"
         "0AC3071999062515231510C30419990630" "01"
         "03596F7520686176652034206E657720656D61696C7300" "0101", {}},
        // unknown elements become literals named in the string table
        {Family::CacheOperation, R"(<co><foo/><invalidate-object uri="http://a"/></co>)",
         "02076A04666F6F00" "45" "0400" "8606036100" "01" "01", {}},
        // a closing tag that does not match the open one closes it first
        {Family::CacheOperation, "<co><invalidate-service uri='x'></co>",
         "02076A0045C705037800" "01" "01" "01", {}},
        {Family::EmailNotification, R"(<emn mailbox="mailat:a@b.com" timestamp="2002-04-16T06:40:00Z"/>)",
         "030D6A008507036140620085" "05C30620020416064001", {}},
    };
    for (const Case& c : cases) {
        std::string want = c.want;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        EXPECT_EQ(compile_hex(c.f, c.doc, c.opt), want) << c.doc;
    }
}

TEST(Wbxml, RootDetectionAndRefusals) {
    std::string out;
    EXPECT_EQ(wbxml::PushSLCompile("<si><indication/></si>", out), 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(wbxml::PushSLCompile("<slx/>", out), 0u);
    int cp = 0;
    EXPECT_GT(wbxml::compile(Family::ServiceLoading,
                             "<?xml version='1.0' encoding='windows-1251'?><sl href='x'/>", out,
                             false, true, &cp),
              0u);
    EXPECT_EQ(cp, 1251);
    EXPECT_GT(wbxml::compile(Family::ServiceLoading, "<?xml version='1.0' encoding=\"UTF-8\"?><sl/>",
                             out, false, true, &cp),
              0u);
    EXPECT_EQ(cp, -1);

    struct Detect {
        const char* doc;
        bool found;
        Family family;
        const char* type;
    } docs[] = {
        {"<?xml version='1.0'?>\n<!DOCTYPE si><!-- c --><si/>", true, Family::ServiceIndication,
         "application/vnd.wap.sic"},
        {"<sl href='x'/>", true, Family::ServiceLoading, "application/vnd.wap.slc"},
        {"<wap-provisioningdoc version='1.0'/>", true, Family::OmaProvisioning,
         "application/vnd.wap.connectivity-wbxml"},
        {"<wap-provisioning/>", true, Family::OmaProvisioning, "application/vnd.wap.connectivity-wbxml"},
        {"<o-ex:rights/>", true, Family::DrmRights, "application/vnd.oma.drm.rights+wbxml"},
        {"<roap:roapTrigger/>", true, Family::RoapTrigger, "application/vnd.oma.drm.roap-trigger+wbxml"},
        {"<emn/>", true, Family::EmailNotification, "application/vnd.wap.emn+wbxml"},
        {"<SyncML/>", true, Family::SyncML, "application/vnd.syncml+wbxml"},
        {"<html><sl/></html>", false, Family::ServiceLoading, ""},
        {"no markup", false, Family::ServiceLoading, ""},
    };
    for (const Detect& d : docs) {
        wbxml::PushDocument got = wbxml::detect_push_document(d.doc);
        EXPECT_EQ(got.found, d.found) << d.doc;
        if (d.found) {
            EXPECT_EQ(got.family, d.family) << d.doc;
            EXPECT_EQ(got.binary_type, d.type) << d.doc;
        }
    }
}

TEST(Wbxml, HostileDocumentsStayBounded) {
    std::string out;
    std::string deep = "<si>";
    for (int i = 0; i < 10000; ++i) deep += "<info>";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wbxml::PushSICompile(deep, out), 0u) << "nesting beyond the limit is refused";

    std::string big = "<si><indication>" + std::string(1 << 20, 'a') + "</indication></si>";
    ASSERT_GT(wbxml::PushSICompile(big, out), 0u);
    EXPECT_LT(out.size(), 9000u) << "a text run is cut at the scratch size";

    // Entities of a DTD are never expanded.
    std::string bomb = "<?xml version='1.0'?><!DOCTYPE si [<!ENTITY a 'aaaaaaaaaa'>"
                       "<!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>]><si><indication>&b;&b;"
                       "</indication></si>";
    ASSERT_GT(wbxml::PushSICompile(bomb, out), 0u);
    EXPECT_LT(out.size(), 40u);

    // Broken UTF-8 never reaches the output.
    ASSERT_GT(wbxml::PushSICompile("<si><indication>a\xC3(b\xFF</indication></si>", out), 0u);
    EXPECT_NE(out.find("a?(b?"), std::string::npos);

    for (std::string_view junk : {"<", "<si", "<si><", "<si></", "<si a='", "<si><![CDATA[x", "<si><!--"})
        wbxml::PushSICompile(junk, out);  // must not crash or hang
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// The independent decoder reads every family's output back as the document
// that went in (elements, attributes and text, white space aside).
std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string squeeze(std::string_view xml) {
    size_t root = xml.find('<');
    while (root != std::string_view::npos && (xml.substr(root, 2) == "<?" || xml.substr(root, 2) == "<!"))
        root = xml.find('<', xml.find('>', root));
    std::string out;
    for (size_t i = root; i < xml.size(); ++i) {
        char c = xml[i];
        if (c == '\n' || c == '\r' || c == '\t') continue;
        if (c == ' ' && (out.empty() || out.back() == '>' || (i + 1 < xml.size() && xml[i + 1] == '<')))
            continue;
        if (c == '\'') c = '"';
        out += c;
    }
    return out;
}

TEST(Wbxml, IndependentDecoderReadsEveryFamilyBack) {
    ASSERT_EQ(std::system("command -v wbxml2xml >/dev/null"), 0) << "scripts/setup installs libwbxml2-utils";
    auto dir = std::filesystem::temp_directory_path() / ("wbxml-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    struct Doc {
        Family f;
        const char* lang;  // -l for documents whose public id the decoder cannot tell
        const char* xml;
    } docs[] = {
        {Family::ServiceIndication, "",
         R"(<si><indication href="http://www.shop.com/offer" si-id="7" action="signal-high" created="2026-12-09T10:30:00Z">Sale &amp; more</indication></si>)"},
        {Family::ServiceLoading, "", R"(<sl href="https://www.example.org/app.jad" action="execute-low"/>)"},
        {Family::CacheOperation, "",
         R"(<co><invalidate-object uri="http://www.a.com/x"/><invalidate-service uri="https://b.net/"/></co>)"},
        {Family::OmaProvisioning, "",
         R"(<wap-provisioningdoc version="1.0"><characteristic type="NAPDEF"><parm name="NAPID" value="NAP1"/><parm name="BEARER" value="GSM-GPRS"/><parm name="NAME" value="Operator"/><parm name="NAP-ADDRESS" value="internet"/><parm name="NAP-ADDRTYPE" value="APN"/></characteristic><characteristic type="PXLOGICAL"><parm name="PROXY-ID" value="PROXY1"/><parm name="NAME" value="Operator"/><characteristic type="PXPHYSICAL"><parm name="PXADDR" value="10.0.0.1"/><parm name="PXADDRTYPE" value="IPV4"/><parm name="TO-NAPID" value="NAP1"/></characteristic></characteristic><characteristic type="APPLICATION"><parm name="APPID" value="w2"/><parm name="TO-PROXY" value="PROXY1"/><parm name="NAME" value="Browser"/></characteristic></wap-provisioningdoc>)"},
        {Family::EmailNotification, "", R"(<emn mailbox="imap://u@mail.example.com/INBOX" timestamp="2026-12-09T10:30:00Z"/>)"},
        {Family::DrmRights, "-l DRMREL10",
         R"(<o-ex:rights xmlns:o-ex="http://odrl.net/1.1/ODRL-EX" xmlns:o-dd="http://odrl.net/1.1/ODRL-DD" xmlns:ds="http://www.w3.org/2000/09/xmldsig#/"><o-ex:context><o-dd:version>1.0</o-dd:version></o-ex:context><o-ex:agreement><o-ex:asset><o-ex:context><o-dd:uid>cid:song@example.com</o-dd:uid></o-ex:context></o-ex:asset><o-ex:permission><o-dd:play><o-ex:constraint><o-dd:count>3</o-dd:count></o-ex:constraint></o-dd:play><o-dd:display/></o-ex:permission></o-ex:agreement></o-ex:rights>)"},
        {Family::SyncML, "-l SYNCML11",
         R"(<SyncML><SyncHdr><VerDTD>1.1</VerDTD><VerProto>SyncML/1.1</VerProto><SessionID>1</SessionID><MsgID>1</MsgID><Target><LocURI>http://sync.example.com</LocURI></Target><Source><LocURI>IMEI:4711</LocURI></Source></SyncHdr><SyncBody><Alert><CmdID>1</CmdID><Data>200</Data></Alert><Final/></SyncBody></SyncML>)"},
    };
    for (const Doc& d : docs) {
        std::string out;
        ASSERT_GT(wbxml::compile(d.f, d.xml, out, true, true, nullptr, CompileOptions{}), 0u) << d.xml;
        auto in = dir / "doc.wbxml";
        std::ofstream(in, std::ios::binary) << out;
        std::string back = run("wbxml2xml " + std::string(d.lang) + " -o - " + in.string() + " 2>/dev/null");
        std::string want = squeeze(d.xml);
        if (size_t ns = back.find(" xmlns=\"SYNCML:SYNCML1.1\""); ns != std::string::npos)
            back.erase(ns, std::string_view(" xmlns=\"SYNCML:SYNCML1.1\"").size());  // the decoder names the namespace it was told
        EXPECT_EQ(squeeze(back), want) << "family " << wbxml::family_trace_name(d.f);
    }
    std::filesystem::remove_all(dir);
}

// --- the push PDU -------------------------------------------------------------

TEST(WapPush, ContentTypeAndHeaderEncodings) {
    EXPECT_EQ(hex(wbxml::encode_content_type("application/vnd.wap.slc", "")), "B0");
    EXPECT_EQ(hex(wbxml::encode_content_type("application/vnd.wap.slc", "charset=utf-8")), "03B081EA");
    EXPECT_EQ(hex(wbxml::encode_content_type("application/x-odd", "")), "6170706C69636174696F6E2F782D6F646400");
    std::string longp = wbxml::encode_content_type("application/vnd.wap.slc",
                                                   "name=\"a-rather-long-file-name-here.bin\"");
    EXPECT_EQ(hex(longp.substr(0, 3)), "1F23B0") << "a value over 30 octets uses the length quote";

    struct Header {
        const char* line;
        const char* want;
    } headers[] = {
        {"X-WAP-Application-ID: x-wap-application:wml.ua", "AF82"},
        {"X-WAP-Application-ID: 0x9000", "AF029000"},
        {"X-WAP-Application-ID: 4", "AF84"},
        {"X-WAP-Initiator-URI: http://a", "B1687474703A2F2F6100"},
        {"Push-Flag: 2", "B482"},
        {"Date: Thu, 01 Jan 1970 00:02:00 GMT", "920178"},
        {"Expires: 2026-12-09T00:00:00Z", "94046B189A00"},
        {"Cache-Control: no-cache", "8880"},
        {"Cache-Control: max-age=3600", "880482020E10"},
        {"Pragma: no-cache", "9F80"},
        {"Accept-ranges: bytes", "8481"},
        {"Content-Range: bytes 0-99/100", "90020064"},
        {"WWW-Authenticate: Basic realm=\"gw\"", "AD04806777" "00"},
        {"X-Custom: v", "582D437573746F6D007600"},
        {"0A0B0C", "0A0B0C"},
        {"   ", ""},
    };
    for (const Header& h : headers) EXPECT_EQ(hex(wbxml::encode_header_line(h.line)), h.want) << h.line;
    EXPECT_EQ(hex(wbxml::encode_imsi("262011234567890")), "2926102143658709");
    EXPECT_EQ(hex(wbxml::encode_imsi("1234")), "1132F4");
    EXPECT_EQ(wbxml::encode_imsi("12a4"), "");
}

TEST(WapPush, PduAssemblyTidsAndRefusals) {
    wbxml::PushRequest r;
    r.content_type = "text/vnd.wap.sl";
    r.content = R"(<sl href="http://www.x"/>)";
    r.kind = wbxml::PushContentKind::Xml;
    r.application_id = "x-wap-application:wml.ua";
    std::string pdu, error, second;
    ASSERT_EQ(wbxml::CreateWAPPushBinary(r, pdu, error), 1) << error;
    ASSERT_EQ(wbxml::CreateWAPPushBinary(r, second, error), 1) << error;
    EXPECT_EQ(uint8_t(second[0]), uint8_t(pdu[0] + 1)) << "consecutive transaction ids";
    EXPECT_EQ(hex(pdu.substr(1)), "0603B0AF82" "02066A00850A03780001");

    // SEC/MAC: HMAC-SHA1 of the body under the PIN
    r.content_type = "application/vnd.wap.slc";
    r.application_id.clear();
    r.security = "USERPIN";
    r.pin = "1234";
    ASSERT_EQ(wbxml::CreateWAPPushBinary(r, pdu, error), 1) << error;
    EXPECT_EQ(hex(pdu.substr(1, 7)), "062F1F2DB09181");
    EXPECT_NE(pdu.find("13896FA8933EDD0F48E32D3B49BDFDD409CFB759"), std::string::npos);

    struct Bad {
        wbxml::PushContentKind kind;
        std::string content;
        const char* security;
        const char* pin;
        size_t max;
        const char* error;
    } bad[] = {
        {wbxml::PushContentKind::Xml, "<html/>", "", "", 0, "XML Content Not Recognised"},
        {wbxml::PushContentKind::Hex, "0A0", "", "", 0, "Push content is not valid hex"},
        {wbxml::PushContentKind::Text, "hello", "PINLESS", "1", 0, "Unknown security method PINLESS"},
        {wbxml::PushContentKind::Text, "hello", "NETWPIN", "12ab", 0, "Security method NETWPIN needs an IMSI"},
        {wbxml::PushContentKind::Text, std::string(997, 'a'), "", "", 0, "Push data is too large (3 + 1 + 997 > 1000)"},
    };
    for (const Bad& b : bad) {
        wbxml::PushRequest q;
        q.content_type = "text/plain";
        q.kind = b.kind;
        q.content = b.content;
        q.security = b.security;
        q.pin = b.pin;
        q.max_size = b.max;
        EXPECT_EQ(wbxml::CreateWAPPushBinary(q, pdu, error), 0) << b.error;
        EXPECT_EQ(error.substr(0, std::string_view(b.error).size()), b.error);
        EXPECT_TRUE(pdu.empty());
    }
}

}  // namespace
