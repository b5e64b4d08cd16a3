// The far end of an SMPP connection in tests, speaking raw PDUs through the
// engine's codec: for scripting what a well-behaved peer never does and for
// feeding the engine deliveries.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/pdu.h"

namespace smpp_test {

namespace smpp = protocols::smpp;

struct RawPeer {
    platform::Socket s;
    std::string buf;

    bool send(const smpp::Pdu& p) {
        std::string w = smpp::encode_pdu(p);
        return platform::send_all(s.fd(), w.data(), w.size(), 2000) == long(w.size());
    }
    bool send_raw(const std::string& w) {
        return platform::send_all(s.fd(), w.data(), w.size(), 2000) == long(w.size());
    }
    // Next PDU within timeout; false on time-out or close.
    bool recv(smpp::Pdu& p, unsigned timeout_ms = 3000) {
        uint64_t start = platform::monotonic_ms();
        for (;;) {
            smpp::Frame f =
                smpp::check_frame({reinterpret_cast<const uint8_t*>(buf.data()), buf.size()});
            if (f.state == smpp::FrameState::Complete) {
                smpp::decode_pdu({reinterpret_cast<const uint8_t*>(buf.data()), f.length}, p);
                buf.erase(0, f.length);
                return true;
            }
            uint64_t used = platform::monotonic_ms() - start;
            if (used >= timeout_ms) return false;
            char tmp[4096];
            long n = platform::recv_some(s.fd(), tmp, sizeof tmp, unsigned(timeout_ms - used));
            if (n <= 0) return false;
            buf.append(tmp, size_t(n));
        }
    }
    // True when the other side closed the connection within timeout.
    bool sees_close(unsigned timeout_ms = 3000) {
        smpp::Pdu p;
        while (recv(p, timeout_ms)) {
        }
        char c;
        return platform::recv_some(s.fd(), &c, 1, 10) == 0;
    }
    void answer(const smpp::Pdu& req, uint32_t status = 0, std::string id = {}) {
        smpp::Pdu r;
        r.command_id = req.command_id | 0x80000000u;
        r.command_status = status;
        r.sequence = req.sequence;
        r.message_id = std::move(id);
        r.system_id = "FAKE";
        send(r);
    }
};

// A deliver_sm from 447700900001 to 12345.
inline smpp::Pdu deliver_sm(uint32_t seq, uint8_t esm_class, std::string text,
                            std::string service_type = {}) {
    smpp::Pdu p;
    p.command_id = smpp::DELIVER_SM;
    p.sequence = seq;
    p.service_type = std::move(service_type);
    p.source_addr = "447700900001";
    p.dest_addr = "12345";
    p.esm_class = esm_class;
    p.short_message = std::move(text);
    return p;
}

}  // namespace smpp_test
