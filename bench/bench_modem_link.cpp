// Messages per second through one simulated modem (tests/common/modem_sim.h
// on a pseudo-terminal, answering at once): each message is an SMS-SUBMIT
// built and sent with AT+CMGS, its prompt, the PDU and the +CMGS result, so
// the figure is the command channel's own ceiling without device delays.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/modem_sim.h"
#include "radio/modem_channel.h"
#include "radio/pdu.h"
#include "support/ini_profile.h"

namespace {

void send_through_modem(benchmark::State& state) {
    const std::string home =
        (std::filesystem::temp_directory_path() / "smsgw-bench-modem").string() + "/";
    std::filesystem::create_directories(home);
    ::setenv("SMSGW_HOME", home.c_str(), 1);
    support::SMSIniSetFilename(home + "SMSGW.INI");
    modem_sim::ModemSim sim;
    radio::ModemChannel ch;
    ch.link_name = sim.path();
    std::string failure;
    if (!radio::OpenDevice(ch, failure)) {
        state.SkipWithError(failure.c_str());
        return;
    }
    radio::pdu::SubmitParams p;
    p.recipient = "+447700900001";
    p.smsc = "+31624000000";
    p.data = "Your code is 4711. Meet at gate 7.";
    p.status_report = true;
    for (auto _ : state) {
        radio::SendOutcome o = radio::send_pdu(ch, radio::pdu::build_submit(p));
        if (!o.ok) {
            state.SkipWithError(o.error_text.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ch.close();
    std::filesystem::remove_all(home);
}

}  // namespace

BENCHMARK(send_through_modem)->UseRealTime()->Unit(benchmark::kMicrosecond);
