#include <cstdio>

#include "cli/Command.h"
#include "tools/CheckIp.h"

// orvanta-cli checkip: the Check IP tab's check from a terminal. Prints the address alone on
// the first line and the URL that answered on the second, and appends the history line.
static int RunCheckIp(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "uso: orvanta-cli checkip\n");
        return kExitUsage;
    }
    CheckIpResult r = RunPublicIpCheck(CheckIpOptions {});
    if (r.address.empty()) {
        std::fprintf(stderr, "checkip: nenhum endereco IP obtido de %s: %s\n", CheckIpHost().c_str(), r.error.c_str());
        return kExitFailure;
    }
    std::printf("%s\n%s\n", r.address.c_str(), r.source.c_str());
    std::fflush(stdout);
    std::string why;
    if (!AppendCheckIpHistory(r.address, r.source, &why)) {
        std::fprintf(stderr, "checkip: historico checkip.csv nao pode ser gravado: %s\n", why.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

static CommandRegistration reg({"checkip", "checkip", &RunCheckIp});
