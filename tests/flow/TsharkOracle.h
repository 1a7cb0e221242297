#pragma once
// tshark as the oracle of the live SIP tests: what it reads in a savefile with its IP and TCP
// reassembly on (its defaults).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/TestSupport.h"

// One label per SIP message tshark finds, sorted: the method of a request, the status code of
// a response.
inline std::vector<std::string> TsharkSipLabels(const std::string& pcap) {
    const auto oracle =
        testsupport::RunCommand("tshark -r " + pcap + " -Y sip -T fields -e sip.Method -e sip.Status-Code");
    EXPECT_EQ(oracle.exitCode, 0) << oracle.err;
    std::vector<std::string> labels;
    std::string token;
    // A frame with several messages lists their values separated by commas.
    for (char c : oracle.out + "\n") {
        if (c == '\t' || c == ',' || c == '\n') {
            if (!token.empty()) labels.push_back(token);
            token.clear();
        } else if (c != '\r') {
            token += c;
        }
    }
    std::sort(labels.begin(), labels.end());
    return labels;
}

// Frames of the savefile that match a display filter. Also on a file still being written.
inline size_t TsharkFrames(const std::string& pcap, const std::string& filter) {
    const auto r = testsupport::RunCommand("tshark -r " + pcap + " -Y '" + filter + "' -T fields -e frame.number");
    return static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
}
