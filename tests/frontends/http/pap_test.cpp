// Push access protocol requests: what the multipart request is read as, and
// each refusal text for the request that earns it.
#include <gtest/gtest.h>

#include "frontends/http/pap.h"

namespace {

using frontends::http::PapRequest;

const char* kControl =
    "<?xml version=\"1.0\"?>\r\n<!DOCTYPE pap PUBLIC \"-//WAPFORUM//DTD PAP 2.0//EN\" \"x\">\r\n"
    "<pap><push-message push-id=\"p-42\" deliver-before-timestamp=\"2030-01-01T00:00:00Z\">\r\n"
    "<address address-value=\"WAPPUSH=+447700900001/TYPE=PLMN@ppg.example.com\"/>\r\n"
    "<address address-value='wappush=10.1.2.3/type=ipv4@ppg'/>\r\n"
    "</push-message></pap>\r\n";

std::string head(const std::string& content_type) {
    return "POST /PAP HTTP/1.1\r\nHost: x\r\n" +
           (content_type.empty() ? "" : "Content-Type: " + content_type + "\r\n") + "\r\n";
}

std::string body(const std::string& content_headers, const std::string& content, bool close = true) {
    return "--XYZ\r\nContent-Type: application/xml\r\n\r\n" + std::string(kControl) + "--XYZ\r\n" +
           content_headers + "\r\n" + content + (close ? "\r\n--XYZ--\r\n" : "");
}

TEST(Pap, ParsesControlDocumentAndContentPart) {
    PapRequest r;
    std::string b = body("Content-Type: text/vnd.wap.si\r\nX-Wap-Application-ID: x-wap-application:wml.ua\r\n"
                         "Push-flag: 1\r\n",
                         "<si><indication href=\"http://a\">x</indication></si>");
    ASSERT_EQ(frontends::http::parse_pap_request(head("multipart/related; type=\"application/xml\"; boundary=XYZ"), b, r), "");
    EXPECT_EQ(r.push_id, "p-42");
    ASSERT_EQ(r.addresses.size(), 2u);
    EXPECT_EQ(frontends::http::pap_recipient(r.addresses[0]), "+447700900001");
    EXPECT_EQ(frontends::http::pap_recipient(r.addresses[1]), "10.1.2.3");
    EXPECT_EQ(r.content_type, "text/vnd.wap.si");
    EXPECT_EQ(r.application_id, "x-wap-application:wml.ua");
    EXPECT_EQ(r.headers, "Push-flag: 1\n");
    EXPECT_EQ(r.content, "<si><indication href=\"http://a\">x</indication></si>");

    // Content-length takes exactly that many octets, a quoted boundary works.
    PapRequest q;
    ASSERT_EQ(frontends::http::parse_pap_request(head("multipart/related; boundary='XYZ'"),
                                                 body("Content-Type: text/plain\r\nContent-length: 3\r\n", "abcdef", false), q),
              "");
    EXPECT_EQ(q.content, "abc");
    EXPECT_NE(frontends::http::pap_success_body("").find("push-id=\"unknown\""), std::string::npos);
    EXPECT_EQ(frontends::http::pap_refusal_body("No valid push recipients"),
              "<pap>\r\n<badmessage-response code=\"2000\" desc=\"No valid push recipients\"/>\r\n</pap>\r\n");
}

TEST(Pap, EachMalformedRequestGetsItsRefusal) {
    struct Case {
        std::string content_type, body, refusal;
    } cases[] = {
        {"", body("", "x"), "Unsupported or invalid Push Access Protocol (PAP) request - missing content type"},
        {"application/xml", body("", "x"), "Unsupported or invalid Push Access Protocol (PAP) request - request is not multipart"},
        {"multipart/related", body("", "x"), "Multipart MIME boundary invalid or missing"},
        {"multipart/related; boundary=" + std::string(151, 'b'), body("", "x"), "Multipart MIME boundary invalid or missing"},
        {"multipart/related; boundary=OTHER", body("", "x"), "Invalid MIME boundary"},
        {"multipart/related; boundary=XYZ", "--XYZ\r\nContent-Type: application/xml\r\n\r\n<pap/>", "Closing MIME boundary not found"},
        {"multipart/related; boundary=XYZ", "--XYZ\r\n\r\n<pap/>\r\n--XYZ--\r\n", "Push MIME content part not found"},
        {"multipart/related; boundary=XYZ", body("Content-Type: text/plain\r\n", "abc", false), "Closing MIME boundary for push content part not found"},
        {"multipart/related; boundary=XYZ", body("Content-Type: text/plain\r\nContent-length: 99\r\n", "abc"), "Closing MIME boundary for push content part not found"},
    };
    for (const Case& c : cases) {
        PapRequest r;
        EXPECT_EQ(frontends::http::parse_pap_request(head(c.content_type), c.body, r), c.refusal) << c.content_type;
    }
}

}  // namespace
