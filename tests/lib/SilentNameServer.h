#pragma once
// A name server that never answers: a UDP socket on a loopback port that takes queries and
// sends nothing back. ResolveThrough() asks it the way the system resolver asks any name
// server (the C library's resolver with this server as its only one), so a caller waits for
// the resolver's own time-out, as it would behind a dead name server.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/Sockets.h"

namespace nstest {

class SilentNameServer {
public:
    SilentNameServer() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        socklen_t len = sizeof a;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) port = ntohs(a.sin_port);
    }
    ~SilentNameServer() {
        if (fd >= 0) close(fd);
    }
    SilentNameServer(const SilentNameServer&) = delete;
    SilentNameServer& operator=(const SilentNameServer&) = delete;

    bool Ok() const { return port != 0; }
    // Queries that reached the server so far (it keeps them unread until asked).
    int QueriesReceived() {
        unsigned char buf[512];
        while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) ++queries;
        return queries;
    }

    // Asks this server only for `host`'s address, as the system resolver would; each attempt
    // waits `timeoutSeconds`. Always NotFound, after the time-out: the server never answers.
    platform::ResolveStatus ResolveThrough(const std::string& host, uint32_t& addrNet, std::string& dotted,
                                           int timeoutSeconds = 2) const {
        struct __res_state state {};
        if (res_ninit(&state) != 0) return platform::ResolveStatus::NotFound;
        state.nscount = 1;
        state.nsaddr_list[0].sin_family = AF_INET;
        state.nsaddr_list[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        state.nsaddr_list[0].sin_port = htons(port);
        state.retrans = timeoutSeconds;
        state.retry = 1;
        unsigned char answer[512];
        const int n = res_nquery(&state, host.c_str(), ns_c_in, ns_t_a, answer, sizeof answer);
        res_nclose(&state);
        // This server never answers, so the query always ends in the resolver's time-out.
        (void)n;
        (void)addrNet;
        (void)dotted;
        return platform::ResolveStatus::NotFound;
    }

private:
    int fd = -1;
    uint16_t port = 0;
    int queries = 0;
};

}  // namespace nstest
