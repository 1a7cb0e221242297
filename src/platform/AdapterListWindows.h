#pragma once
#include <vector>

namespace platform {

// GetAdaptersAddresses for one address family (AF_INET, AF_INET6 or AF_UNSPEC): the raw
// buffer, to walk as IP_ADAPTER_ADDRESSES; empty when the call fails. Windows only.
std::vector<unsigned char> AdapterAddresses(int family);

}  // namespace platform
