#pragma once
#include <string>

#include "tools/CheckIp.h"

// The Check IP tab: one button that asks the provider which address it sees, the answer in
// large type, and buttons to copy or drop it. The request runs on a worker of its own.
class CheckIpTab {
public:
    // Empty host in `options`: the built-in endpoint (tests point it elsewhere).
    explicit CheckIpTab(CheckIpOptions options = {});

    void Draw();

    bool Busy() const { return busy_; }
    const std::string& Address() const { return address_; }
    // URL that gave the shown address.
    const std::string& Source() const { return source_; }

private:
    CheckIpOptions options_;
    PublicIpCheck check_;  // the request runs here, off the GUI thread
    std::string address_;
    std::string source_;
    bool busy_ = false;
    std::string error_;  // one line under the button after a failed check
    std::string historyError_;  // under the address: its history line could not be written
};
