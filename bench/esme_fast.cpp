// A fast SMPP client for the SMPP server benchmark and crash test: binds as
// a transmitter and keeps a window of submit_sm outstanding until count
// submits were answered (or the connection ends), then prints one line:
//   sent=<n> ok=<n> refused=<n> seconds=<s> rate=<ok per s> p50_ms=<x> p99_ms=<x>
//
//   esme_fast --port N --user U --password P [--count N (10000)] [--window N (100)]
//             [--ids-file F] [--home H] [--timeout S (120)]
//
// --home H first adds the account U / P (SMPP login on) to H/USERS.DB.
// --ids-file F gets the message id of every submit answered with status 0,
// one per line, written as the answer arrives (so that it survives the
// gateway being killed).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "protocols/smpp/pdu.h"
#include "support/accounts.h"

namespace smpp = protocols::smpp;

namespace {

struct Args {
    unsigned port = 0, count = 10000, window = 100, timeout_s = 120;
    std::string user, password, ids_file, home;
};

bool parse(int argc, char** argv, Args& a) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--port") a.port = unsigned(std::stoul(v));
        else if (k == "--count") a.count = unsigned(std::stoul(v));
        else if (k == "--window") a.window = std::max(1u, unsigned(std::stoul(v)));
        else if (k == "--timeout") a.timeout_s = unsigned(std::stoul(v));
        else if (k == "--user") a.user = v;
        else if (k == "--password") a.password = v;
        else if (k == "--ids-file") a.ids_file = v;
        else if (k == "--home") a.home = v;
        else return false;
    }
    return a.port && !a.user.empty();
}

bool add_account(const Args& a) {
    support::set_account_database_path(a.home + "/USERS.DB");
    support::UserFile f;
    if (!support::SMSOpenUserFile(f, support::UserFileAccess::ReadWrite)) return false;
    support::UserRecord r;
    r.name = a.user;
    r.enable_smpp_login = true;
    bool ok = support::set_user_password(r, a.password) && support::SMSAddUser(f, r);
    support::SMSCloseUserFile(f);
    return ok;
}

struct Reader {
    int fd;
    std::string buf;
    // The next PDU already in the buffer, without reading.
    bool buffered(smpp::Pdu& p) {
        smpp::Frame f =
            smpp::check_frame({reinterpret_cast<const uint8_t*>(buf.data()), buf.size()});
        if (f.state != smpp::FrameState::Complete) return false;
        smpp::decode_pdu({reinterpret_cast<const uint8_t*>(buf.data()), f.length}, p);
        buf.erase(0, f.length);
        return true;
    }
    // Next PDU; false on close or time-out.
    bool next(smpp::Pdu& p, unsigned timeout_ms) {
        for (;;) {
            if (buffered(p)) return true;
            smpp::Frame f =
                smpp::check_frame({reinterpret_cast<const uint8_t*>(buf.data()), buf.size()});
            if (f.state == smpp::FrameState::Invalid) return false;
            char tmp[65536];
            long n = platform::recv_some(fd, tmp, sizeof tmp, timeout_ms);
            if (n <= 0) return false;
            buf.append(tmp, size_t(n));
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parse(argc, argv, a)) {
        std::fprintf(stderr, "usage: esme_fast --port N --user U --password P [--count N] "
                             "[--window N] [--ids-file F] [--home H] [--timeout S]\n");
        return 2;
    }
    if (!a.home.empty() && !add_account(a)) {
        std::fprintf(stderr, "esme_fast: cannot add the account\n");
        return 1;
    }
    int err = 0;
    platform::Socket s = platform::tcp_connect("127.0.0.1", uint16_t(a.port), 5000, 0, &err);
    if (!s) {
        std::fprintf(stderr, "esme_fast: cannot connect (%d)\n", err);
        return 1;
    }
    platform::set_nodelay(s.fd(), true);
    int ids = a.ids_file.empty() ? -1 : ::open(a.ids_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Reader rd{s.fd(), {}};
    smpp::Pdu bind;
    bind.command_id = smpp::BIND_TRANSMITTER;
    bind.sequence = 1;
    bind.system_id = a.user;
    bind.password = a.password;
    std::string w = smpp::encode_pdu(bind);
    platform::send_all(s.fd(), w.data(), w.size(), 5000);
    smpp::Pdu p;
    if (!rd.next(p, 15000) || p.command_status != 0) {
        std::fprintf(stderr, "esme_fast: bind refused\n");
        return 1;
    }
    std::unordered_map<uint32_t, uint64_t> sent_at;
    std::vector<uint32_t> latency_us;
    latency_us.reserve(a.count);
    unsigned sent = 0, ok = 0, refused = 0;
    uint32_t seq = 2;
    const uint64_t t0 = platform::monotonic_us();
    const uint64_t deadline = t0 + uint64_t(a.timeout_s) * 1000000u;
    std::string out;
    while (ok + refused < a.count && platform::monotonic_us() < deadline) {
        out.clear();
        while (sent < a.count && sent_at.size() < a.window) {
            smpp::Pdu m;
            m.command_id = smpp::SUBMIT_SM;
            m.sequence = seq++;
            m.source_addr = "111";
            m.dest_addr = "44770" + std::to_string(1000000 + sent);
            m.short_message = "bench message " + std::to_string(sent);
            out += smpp::encode_pdu(m);
            sent_at[m.sequence] = platform::monotonic_us();
            ++sent;
        }
        if (!out.empty() && platform::send_all(s.fd(), out.data(), out.size(), 10000) != long(out.size()))
            break;
        // One read, then every answer it brought.
        if (!rd.next(p, 10000)) break;
        bool more = true;
        while (more) {
            if (p.command_id == smpp::SUBMIT_SM_RESP) {
                auto it = sent_at.find(p.sequence);
                if (it != sent_at.end()) {
                    latency_us.push_back(uint32_t(platform::monotonic_us() - it->second));
                    sent_at.erase(it);
                    if (p.command_status == 0) {
                        ++ok;
                        if (ids >= 0) {
                            std::string line = p.message_id + "\n";
                            (void)!::write(ids, line.data(), line.size());
                        }
                    } else {
                        ++refused;
                    }
                }
            }
            more = rd.buffered(p);
        }
    }
    const double secs = double(platform::monotonic_us() - t0) / 1e6;
    std::sort(latency_us.begin(), latency_us.end());
    auto pct = [&](double q) {
        if (latency_us.empty()) return 0.0;
        return latency_us[std::min(latency_us.size() - 1, size_t(q * double(latency_us.size())))] /
               1000.0;
    };
    std::printf("sent=%u ok=%u refused=%u seconds=%.3f rate=%.0f p50_ms=%.2f p99_ms=%.2f\n", sent,
                ok, refused, secs, secs > 0 ? ok / secs : 0.0, pct(0.5), pct(0.99));
    if (ids >= 0) ::close(ids);
    return ok + refused == a.count ? 0 : 3;
}
