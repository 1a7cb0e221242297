#pragma once
// Runs a shell command from a test and collects what it wrote to standard output and how it
// ended. Standard error goes wherever the command line sends it (add 2>&1 to keep it).
#include <sys/wait.h>

#include <cstdio>
#include <string>

struct CommandResult {
    int exitCode = -1;  // -1 when the shell could not start or the command died of a signal
    std::string out;
};

inline CommandResult RunCommand(const std::string& cmd) {
    CommandResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
