#include "flow/HangupRules.h"

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

constexpr const char* kLocalSide = "Softphone/PC";
constexpr const char* kOperatorSide = "PABX/ROTA";

}  // namespace

std::string HangupOriginForBye(std::string_view address) {
    if (StartsWith(address, "192.168.") || StartsWith(address, "10.") || StartsWith(address, "172.") ||
        address == "127.0.0.1") {
        return kLocalSide;
    }
    return kOperatorSide;
}

std::string HangupOriginForCancelOrError(std::string_view address) {
    if (StartsWith(address, "192.168.") || StartsWith(address, "10.") || address == "127.0.0.1") {
        return kLocalSide;
    }
    return kOperatorSide;
}
