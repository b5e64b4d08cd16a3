// A small CIMD2 SMSC for tests. It frames, checks and answers packets with
// its own code (written from the published packet layout), never with the
// engine's codec, so that a fault in the engine's encoder cannot hide itself.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/sim_server.h"

namespace cimd_sim {

// ---- the simulator's own packets ---------------------------------------------------

inline std::string sim_packet(int op, int number,
                              const std::vector<std::pair<int, std::string>>& params,
                              bool with_checksum = true) {
    char head[32];
    std::snprintf(head, sizeof head, "\x02%02d:%03d\t", op, number);
    std::string s = head;
    for (auto& [code, value] : params) {
        char p[8];
        std::snprintf(p, sizeof p, "%03d:", code);
        s += p + value + "\t";
    }
    if (with_checksum) {
        unsigned sum = 0;
        for (unsigned char c : s) sum += c;
        char cs[3];
        std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
        s += cs;
    }
    return s + "\x03";
}

struct SimPacket {
    int op = -1, number = -1;
    std::map<int, std::string> params;
    bool has_checksum = false, checksum_ok = false;
};

// body: the bytes between STX and ETX.
inline SimPacket sim_parse(const std::string& body) {
    SimPacket p;
    if (body.size() < 7) return p;
    p.op = std::atoi(body.substr(0, 2).c_str());
    p.number = std::atoi(body.substr(3, 3).c_str());
    size_t last_tab = body.rfind('\t');
    std::string trailer = body.substr(last_tab + 1);
    if (!trailer.empty()) {
        p.has_checksum = true;
        unsigned sum = 0x02;
        for (size_t i = 0; i <= last_tab; ++i) sum += static_cast<unsigned char>(body[i]);
        char cs[3];
        std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
        p.checksum_ok = trailer == cs;
    }
    size_t pos = 7;
    while (pos < last_tab) {
        size_t tab = body.find('\t', pos);
        std::string item = body.substr(pos, tab - pos);
        if (item.size() >= 4) p.params[std::atoi(item.substr(0, 3).c_str())] = item.substr(4);
        pos = tab + 1;
    }
    return p;
}

struct Smsc : sim_server::Server<Smsc, SimPacket> {
    std::string user = "user", password = "secret";
    std::atomic<int> submit_error{0};   // 900 in every submit response
    std::atomic<int> general_error{0};  // answer submits with 98 and this code
    std::atomic<int> nacks_left{0};     // answer this many submits with 99 first
    // >= 0: a submit with another number is answered with a NACK naming this one.
    std::atomic<int> expect_number{-1};
    // Behaviour switches may change while the reader runs.
    std::atomic<bool> silent{false};
    std::atomic<bool> checksums{true};
    std::function<std::string(const SimPacket&)>
        submit_reply;  // replaces the answer to every submit
    std::string scts = "040302010600";

    ~Smsc() { shut_down(); }

    static SimPacket parse(const std::string& body) { return sim_parse(body); }
    void answer(const SimPacket& p) {
        if (silent || p.op >= 50) return;
        auto respond = [&](std::vector<std::pair<int, std::string>> params) {
            send(sim_packet(p.op + 50, p.number, params, checksums));
        };
        switch (p.op) {
            case 1:
                if (p.params.count(10) && p.params.at(10) == user && p.params.count(11) &&
                    p.params.at(11) == password)
                    respond({});
                else
                    respond({{900, "100"}});
                break;
            case 3:
                if (submit_reply) {
                    send(submit_reply(p));
                } else if (expect_number >= 0 && p.number != expect_number) {
                    send(sim_packet(99, expect_number, {}, checksums));
                } else if (nacks_left > 0) {
                    --nacks_left;
                    send(sim_packet(99, p.number, {}, checksums));
                } else if (general_error) {
                    char e[8];
                    std::snprintf(e, sizeof e, "%03d", general_error.load());
                    send(sim_packet(98, p.number, {{900, e}}, checksums));
                } else if (submit_error) {
                    respond({{900, std::to_string(submit_error)}, {901, "refused"}});
                } else {
                    respond({{21, p.params.count(21) ? p.params.at(21) : ""}, {60, scts}});
                }
                break;
            case 2:
            case 40:
                respond({});
                break;
            default:
                break;
        }
    }

    std::vector<SimPacket> packets() { return received(); }
};

}  // namespace cimd_sim
