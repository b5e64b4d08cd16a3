// A small UCP/EMI SMSC for tests. It frames, checks and answers with its own
// code (written from the published frame layout), never with the engine's
// codec, so that a fault in the engine's encoder cannot hide itself.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "common/sim_server.h"

namespace ucp_sim {

// ---- the simulator's own framing ---------------------------------------------------

inline std::string sim_frame(int trn, char kind, int ot, const std::vector<std::string>& fields) {
    std::string data;
    for (const std::string& f : fields) data += f + "/";
    char head[32];
    std::snprintf(head, sizeof head, "%02d/%05zu/%c/%02d/", trn, size_t(14 + data.size() + 2), kind,
                  ot);
    std::string body = head + data;
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
    return "\x02" + body + cs + "\x03";
}

struct SimFrame {
    std::string body;
    int trn = -1;
    char kind = 0;
    int ot = -1;
    std::vector<std::string> fields;  // data fields only
    bool checksum_ok = false, length_ok = false;
};

inline SimFrame sim_parse(const std::string& body) {
    SimFrame f;
    f.body = body;
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = body.find('/', start);
        parts.push_back(
            body.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() < 5) return f;
    f.trn = std::atoi(parts[0].c_str());
    f.kind = parts[2].empty() ? 0 : parts[2][0];
    f.ot = std::atoi(parts[3].c_str());
    f.fields.assign(parts.begin() + 4, parts.end() - 1);
    f.length_ok = std::atoi(parts[1].c_str()) == int(body.size());
    unsigned sum = 0;
    for (size_t i = 0; i < body.size() - parts.back().size(); ++i)
        sum += static_cast<unsigned char>(body[i]);
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
    f.checksum_ok = parts.back() == cs;
    return f;
}

inline std::string ira_hex(const std::string& s) {
    std::string out;
    char b[3];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02X", c);
        out += b;
    }
    return out;
}

// 33 fields of a 50-series operation, set by position.
inline std::vector<std::string> fields50(std::initializer_list<std::pair<int, std::string>> set) {
    std::vector<std::string> f(33);
    for (auto& [i, v] : set) f[size_t(i)] = v;
    return f;
}

// ---- the simulator ------------------------------------------------------------------

struct Smsc : sim_server::Server<Smsc, SimFrame> {
    std::string user = "user", password = "secret";
    // Behaviour switches may change while the reader runs.
    std::atomic<int> submit_nack{0};  // error code for every 51
    std::atomic<int> alert_nack{0};
    std::atomic<bool> silent{false};  // answers nothing
    std::string scts = "010203040506";
    std::function<std::string(const SimFrame&)> submit_reply;  // replaces the answer to every 51

    ~Smsc() { shut_down(); }

    static SimFrame parse(const std::string& body) { return sim_parse(body); }
    void answer(const SimFrame& f) {
        if (silent || f.kind != 'O') return;
        auto ack = [&](std::vector<std::string> fields) {
            send(sim_frame(f.trn, 'R', f.ot, fields));
        };
        switch (f.ot) {
            case 60:
                if (f.fields.size() == 12 && f.fields[0] == user &&
                    f.fields[4] == ira_hex(password))
                    ack({"A", ""});
                else
                    ack({"N", "07", ""});
                break;
            case 51:
                if (submit_reply)
                    send(submit_reply(f));
                else if (submit_nack)
                    ack({"N", std::to_string(100 + submit_nack).substr(1), ""});
                else
                    ack({"A", "", (f.fields.empty() ? "" : f.fields[0]) + ":" + scts});
                break;
            case 31:
                if (alert_nack)
                    ack({"N", std::to_string(100 + alert_nack).substr(1), ""});
                else
                    ack({"A", ""});
                break;
            default:
                break;
        }
    }

    std::vector<SimFrame> frames() { return received(); }
};

}  // namespace ucp_sim
