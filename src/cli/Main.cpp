#include <cstdio>
#include <cstring>

#include "cli/Command.h"

std::vector<Command>& CommandTable() {
    static std::vector<Command> table;
    return table;
}

static void PrintUsage(FILE* out) {
    std::fprintf(out, "uso: orvanta-cli COMANDO [opcoes]\n");
    for (const auto& c : CommandTable()) std::fprintf(out, "  orvanta-cli %s\n", c.usage);
}

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    for (const auto& c : CommandTable()) {
        if (std::strcmp(c.name, argv[1]) == 0) return c.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "orvanta-cli: comando desconhecido: %s\n", argv[1]);
    PrintUsage(stderr);
    return kExitUsage;
}
