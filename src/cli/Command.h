#pragma once
#include <string>
#include <vector>

// A subcommand of orvanta-cli. Each Cmd*.cpp defines one static CommandRegistration.
struct Command {
    const char* name;     // "decode"
    const char* usage;    // one line for the help text, e.g. "decode FILE.pcap"
    int (*run)(const std::vector<std::string>& args);  // args after the subcommand name
};

// Exit codes shared by every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 2;
constexpr int kExitEngineStopped = 3;  // the engine stopped by itself during the run

std::vector<Command>& CommandTable();

struct CommandRegistration {
    explicit CommandRegistration(Command c) { CommandTable().push_back(c); }
};
