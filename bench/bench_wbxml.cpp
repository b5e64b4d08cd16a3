// Documents compiled per second: a Service Indication and an OMA client
// provisioning document of the size operators send, and the whole push PDU
// around the provisioning document with its SEC/MAC signature.
#include <benchmark/benchmark.h>

#include <string>

#include "wbxml/compiler.h"
#include "wbxml/wap_push.h"

namespace {

const std::string kSi =
    R"(<?xml version="1.0"?><!DOCTYPE si PUBLIC "-//WAPFORUM//DTD SI 1.0//EN" "http://www.wapforum.org/DTD/si.dtd">)"
    R"(<si><indication href="http://www.shop.example.com/offers/today" si-id="offer-4711" action="signal-high" created="2026-12-09T10:30:00Z" si-expires="2026-12-10T10:30:00Z">Today only: 20% off everything in the shop</indication></si>)";

std::string provisioning() {
    std::string d = R"(<?xml version="1.0"?><wap-provisioningdoc version="1.0">)";
    d += R"(<characteristic type="BOOTSTRAP"><parm name="NAME" value="Operator"/></characteristic>)";
    d += R"(<characteristic type="NAPDEF"><parm name="NAPID" value="NAP1"/><parm name="BEARER" value="GSM-GPRS"/><parm name="NAME" value="Operator internet"/><parm name="NAP-ADDRESS" value="internet.operator.example"/><parm name="NAP-ADDRTYPE" value="APN"/><characteristic type="NAPAUTHINFO"><parm name="AUTHTYPE" value="PAP"/><parm name="AUTHNAME" value="user"/><parm name="AUTHSECRET" value="secret"/></characteristic></characteristic>)";
    d += R"(<characteristic type="PXLOGICAL"><parm name="PROXY-ID" value="PROXY1"/><parm name="NAME" value="Operator internet"/><parm name="STARTPAGE" value="http://www.operator.example/"/><characteristic type="PXPHYSICAL"><parm name="PHYSICAL-PROXY-ID" value="PX1"/><parm name="PXADDR" value="10.0.0.1"/><parm name="PXADDRTYPE" value="IPV4"/><parm name="TO-NAPID" value="NAP1"/><characteristic type="PORT"><parm name="PORTNBR" value="8080"/></characteristic></characteristic></characteristic>)";
    d += R"(<characteristic type="APPLICATION"><parm name="APPID" value="w2"/><parm name="TO-PROXY" value="PROXY1"/><parm name="NAME" value="Browser"/><characteristic type="RESOURCE"><parm name="URI" value="http://www.operator.example/"/><parm name="NAME" value="Home"/></characteristic></characteristic>)";
    d += "</wap-provisioningdoc>";
    return d;
}

void compile_family(benchmark::State& state, wbxml::Family f, const std::string& doc) {
    wbxml::CompileOptions o;
    std::string out;
    for (auto _ : state) {
        wbxml::compile(f, doc, out, true, true, nullptr, o);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["out_bytes"] = double(out.size());
}
BENCHMARK_CAPTURE(compile_family, service_indication, wbxml::Family::ServiceIndication, kSi);
BENCHMARK_CAPTURE(compile_family, oma_provisioning, wbxml::Family::OmaProvisioning, provisioning());

void signed_provisioning_push(benchmark::State& state) {
    wbxml::PushRequest r;
    r.content_type = "application/vnd.wap.connectivity-wbxml";
    r.content = provisioning();
    r.kind = wbxml::PushContentKind::Xml;
    r.security = "USERNETWPIN";
    r.pin = "262011234567890:1234";
    r.max_size = 14000;
    std::string pdu, error;
    for (auto _ : state) {
        wbxml::CreateWAPPushBinary(r, pdu, error);
        benchmark::DoNotOptimize(pdu.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(signed_provisioning_push);

}  // namespace

BENCHMARK_MAIN();
