// A fast SMPP SMSC for the end-to-end link benchmark: one epoll thread that
// accepts any bind, answers every submit_sm at once with a new message id and
// counts the submits, the distinct message texts and the times of the first
// and last submit.
//
//   smsc_fast [--port N] [--port-file F] [--status-file F] [--expect N]
//
// --port 0 (default) takes a free port; the bound port is printed on stdout
// and written to --port-file. The status file is rewritten (atomically) every
// 200 ms and at once when --expect submits have been counted, as one line:
//   submits=<n> distinct=<n> first=<epoch s.us> last=<epoch s.us> binds=<n> done=<0|1>
// SIGTERM / SIGINT print the same line on stdout and end the program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr uint32_t kBindReceiver = 0x00000001;
constexpr uint32_t kBindTransmitter = 0x00000002;
constexpr uint32_t kSubmitSm = 0x00000004;
constexpr uint32_t kUnbind = 0x00000006;
constexpr uint32_t kBindTransceiver = 0x00000009;
constexpr uint32_t kEnquireLink = 0x00000015;
constexpr uint32_t kDataSm = 0x00000103;
constexpr uint32_t kGenericNack = 0x80000000;
constexpr uint32_t kRespBit = 0x80000000;
constexpr uint32_t kStatusInvalidCommand = 0x00000003;
constexpr uint32_t kStatusInvalidLength = 0x00000002;
constexpr uint32_t kTagMessagePayload = 0x0424;
// No sane PDU is larger; a bigger length means a broken stream.
constexpr uint32_t kMaxPduLength = 70000;

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put32(std::string& out, uint32_t v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

double now_epoch() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Stats {
    uint64_t submits = 0;
    uint64_t binds = 0;
    uint64_t malformed = 0;
    double first = 0;
    double last = 0;
    uint64_t expect = 0;
    std::unordered_set<std::string> texts;  // distinct short_message bodies
};

// Reads a C-octet string of at most max octets (NUL included); false when it
// does not end inside the body.
bool skip_cstring(const uint8_t*& p, const uint8_t* end, size_t max) {
    const uint8_t* q = p;
    while (q < end && *q != 0) {
        if (size_t(q - p) >= max) return false;
        ++q;
    }
    if (q >= end) return false;
    p = q + 1;
    return true;
}

// The short message (or message_payload) of a submit_sm body; false when
// the body is malformed.
bool submit_text(const uint8_t* p, const uint8_t* end, std::string& text) {
    if (!skip_cstring(p, end, 6)) return false;  // service_type
    if (end - p < 2) return false;
    p += 2;
    if (!skip_cstring(p, end, 21)) return false;  // source_addr
    if (end - p < 2) return false;
    p += 2;
    if (!skip_cstring(p, end, 21)) return false;  // destination_addr
    if (end - p < 3) return false;
    p += 3;                                       // esm_class, protocol_id, priority
    if (!skip_cstring(p, end, 17)) return false;  // schedule_delivery_time
    if (!skip_cstring(p, end, 17)) return false;  // validity_period
    if (end - p < 5) return false;
    size_t sm_length = p[4];
    p += 5;  // registered_delivery, replace_if_present, data_coding, sm_default_msg_id, sm_length
    if (size_t(end - p) < sm_length) return false;
    text.assign(reinterpret_cast<const char*>(p), sm_length);
    p += sm_length;
    while (end - p >= 4) {  // optional parameters
        uint16_t tag = uint16_t(p[0] << 8 | p[1]);
        uint16_t len = uint16_t(p[2] << 8 | p[3]);
        p += 4;
        if (size_t(end - p) < len) return false;
        if (tag == kTagMessagePayload) text.assign(reinterpret_cast<const char*>(p), len);
        p += len;
    }
    return p == end;
}

struct Conn {
    Fd fd;
    std::string in;
    std::string out;
    bool closing = false;  // unbind answered: close once out is written
    bool want_write = false;
    explicit Conn(int f) : fd(f) {}
};

void respond(std::string& out, uint32_t command, uint32_t status, uint32_t seq,
             std::string_view body) {
    put32(out, uint32_t(16 + body.size()));
    put32(out, command);
    put32(out, status);
    put32(out, seq);
    out.append(body);
}

// Handles the complete PDUs in c.in; false when the stream is broken.
bool handle_input(Conn& c, Stats& st, uint64_t& next_id) {
    size_t pos = 0;
    std::string text;
    char id[24];
    while (c.in.size() - pos >= 16) {
        const uint8_t* h = reinterpret_cast<const uint8_t*>(c.in.data()) + pos;
        uint32_t len = get32(h);
        if (len < 16 || len > kMaxPduLength) {
            respond(c.out, kGenericNack, kStatusInvalidLength, get32(h + 12), {});
            return false;
        }
        if (c.in.size() - pos < len) break;
        uint32_t cmd = get32(h + 4);
        uint32_t seq = get32(h + 12);
        switch (cmd) {
            case kBindReceiver:
            case kBindTransmitter:
            case kBindTransceiver:
                ++st.binds;
                respond(c.out, cmd | kRespBit, 0, seq, std::string_view("SMSCFAST\0", 9));
                break;
            case kSubmitSm:
            case kDataSm: {
                double t = now_epoch();
                if (st.submits == 0) st.first = t;
                st.last = t;
                ++st.submits;
                if (cmd == kSubmitSm) {
                    if (submit_text(h + 16, h + len, text))
                        st.texts.insert(text);
                    else
                        ++st.malformed;
                }
                int n = std::snprintf(id, sizeof id, "%010llX", (unsigned long long)++next_id);
                respond(c.out, cmd | kRespBit, 0, seq, std::string_view(id, size_t(n) + 1));
                break;
            }
            case kEnquireLink:
                respond(c.out, cmd | kRespBit, 0, seq, {});
                break;
            case kUnbind:
                respond(c.out, cmd | kRespBit, 0, seq, {});
                c.closing = true;
                break;
            default:
                // Responses to anything we might have sent are ignored.
                if (!(cmd & kRespBit)) respond(c.out, kGenericNack, kStatusInvalidCommand, seq, {});
                break;
        }
        pos += len;
    }
    c.in.erase(0, pos);
    return true;
}

// Writes what fits; false on a broken connection.
bool flush(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

std::string status_line(const Stats& st) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "submits=%llu distinct=%zu first=%.6f last=%.6f binds=%llu malformed=%llu "
                  "done=%d\n",
                  (unsigned long long)st.submits, st.texts.size(), st.first, st.last,
                  (unsigned long long)st.binds, (unsigned long long)st.malformed,
                  st.expect && st.submits >= st.expect ? 1 : 0);
    return buf;
}

void write_status(const std::string& path, const Stats& st) {
    if (path.empty()) return;
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    std::string line = status_line(st);
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: smsc_fast [--port N] [--port-file F] [--status-file F] [--expect N]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned port = 0;
    std::string port_file, status_file;
    Stats st;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (i + 1 >= argc) usage();
        if (a == "--port")
            port = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--port-file")
            port_file = argv[++i];
        else if (a == "--status-file")
            status_file = argv[++i];
        else if (a == "--expect")
            st.expect = std::strtoull(argv[++i], nullptr, 10);
        else
            usage();
    }
    if (port > 65535) usage();
    st.texts.reserve(st.expect ? st.expect : 1024);

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.fd < 0) return std::perror("socket"), 1;
    int one = 1;
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener.fd, 64) != 0)
        return std::perror("bind/listen"), 1;
    socklen_t alen = sizeof addr;
    getsockname(listener.fd, reinterpret_cast<sockaddr*>(&addr), &alen);
    port = ntohs(addr.sin_port);
    std::printf("port=%u\n", port);
    std::fflush(stdout);
    if (!port_file.empty()) {
        std::string tmp = port_file + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fprintf(f, "%u\n", port);
            std::fclose(f);
            std::rename(tmp.c_str(), port_file.c_str());
        }
    }

    Fd ep(epoll_create1(EPOLL_CLOEXEC));
    if (ep.fd < 0) return std::perror("epoll_create1"), 1;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener.fd;
    epoll_ctl(ep.fd, EPOLL_CTL_ADD, listener.fd, &ev);

    std::unordered_map<int, Conn> conns;
    uint64_t next_id = 0;
    double last_status = 0;
    bool done_written = false;
    epoll_event events[64];
    char buf[65536];
    write_status(status_file, st);
    while (!g_stop) {
        int n = epoll_wait(ep.fd, events, 64, 100);
        if (n < 0 && errno != EINTR) return std::perror("epoll_wait"), 1;
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener.fd) {
                for (;;) {
                    int c = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0) break;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    conns.try_emplace(c, c);
                    epoll_event cev{};
                    cev.events = EPOLLIN | EPOLLRDHUP;
                    cev.data.fd = c;
                    epoll_ctl(ep.fd, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) continue;
            Conn& c = it->second;
            bool ok = true;
            if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                for (;;) {
                    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
                    if (r > 0) {
                        c.in.append(buf, size_t(r));
                        if (size_t(r) < sizeof buf) break;
                        continue;
                    }
                    if (r < 0 && errno == EINTR) continue;
                    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                    ok = false;  // closed or failed
                    break;
                }
                if (!handle_input(c, st, next_id)) ok = false;
            }
            if (!flush(c)) ok = false;
            if (ok && c.closing && c.out.empty()) ok = false;
            if (ok) {
                bool want = !c.out.empty();
                if (want != c.want_write) {
                    epoll_event cev{};
                    cev.events = EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u);
                    cev.data.fd = fd;
                    epoll_ctl(ep.fd, EPOLL_CTL_MOD, fd, &cev);
                    c.want_write = want;
                }
            } else {
                epoll_ctl(ep.fd, EPOLL_CTL_DEL, fd, nullptr);
                conns.erase(it);
            }
        }
        double now = now_epoch();
        bool done = st.expect && st.submits >= st.expect;
        if ((done && !done_written) || now - last_status >= 0.2) {
            write_status(status_file, st);
            last_status = now;
            done_written = done_written || done;
        }
    }
    write_status(status_file, st);
    std::fputs(status_line(st).c_str(), stdout);
    return 0;
}
