#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// Sends a small UDP datagram to a loopback address and port every 100 ms while alive.
// libpcap 1.10 with TPACKET_V3 parks an idle live capture in poll() without a time-out until
// a frame passes the filter; while a Sniffer does not break that wait itself, a test that
// stops a live capture keeps one of these around the stop so the join can finish.
class LoopbackWaker {
public:
    LoopbackWaker(const std::string& address, int port) {
        thread = std::thread([this, address, port] {
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, address.c_str(), &to.sin_addr);
            while (!done.load()) {
                if (fd >= 0) sendto(fd, "wake", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (fd >= 0) close(fd);
        });
    }
    ~LoopbackWaker() {
        done.store(true);
        thread.join();
    }

private:
    std::atomic<bool> done{false};
    std::thread thread;
};
