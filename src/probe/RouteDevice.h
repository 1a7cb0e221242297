#pragma once
#include <string>

// Name of the interface the kernel would send packets to host through ("eth0", "lo"), or an
// empty string when the host does not resolve or no route exists. Used where the user names
// no capture device: probing one link while capturing on another sees no reply at all.
// The target's address is chosen as a trace chooses it: IPv4 first unless ipv6Only.
std::string RouteDeviceFor(const std::string& host, bool ipv6Only = false);
