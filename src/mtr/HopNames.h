#pragma once
// Names of the addresses that answer a trace, looked up one at a time on a worker of their
// own, so that neither the probing loop nor a frame of the tab ever waits for a name server.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class HopNames {
public:
    using Lookup = std::function<std::optional<std::string>(const std::string& address)>;
    // A name server that has not answered in this time is given up on for that address.
    static constexpr std::chrono::milliseconds kDefaultTimeout{2000};

    // `lookup` defaults to the system's reverse lookup.
    explicit HopNames(Lookup lookup = {}, std::chrono::milliseconds timeout = kDefaultTimeout);
    ~HopNames();
    HopNames(const HopNames&) = delete;
    HopNames& operator=(const HopNames&) = delete;

    // The name of `address` when it is known; empty while it is being looked up, when it has
    // none, or when its lookup failed or timed out. Never waits: an address seen for the first
    // time is queued for the worker. Each address is looked up once per process run.
    std::string NameOf(const std::string& address);
    // Waits until every queued lookup has finished or timed out, at most `limit`. True when
    // nothing is left. For callers that may wait (the command line, tests).
    bool WaitIdle(std::chrono::milliseconds limit);
    // Called on the worker after each lookup that ended (found, failed or timed out); set
    // before the first NameOf.
    void SetOnResolved(std::function<void()> onResolved) { onResolved_ = std::move(onResolved); }

private:
    enum class State { Queued, Found, Failed };
    struct Entry {
        State state = State::Queued;
        std::string name;
    };
    void Work();

    Lookup lookup_;
    std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::condition_variable wake_;  // the worker: something queued, or shutting down
    std::condition_variable idle_;  // WaitIdle: the queue ran empty
    std::map<std::string, Entry> cache_;
    std::deque<std::string> queue_;
    bool busy_ = false;  // the worker is inside a lookup
    bool quit_ = false;
    std::function<void()> onResolved_;
    // The lookup the worker waits for; the destructor wakes that wait, so that quitting never
    // waits out a silent name server.
    struct Slot;
    std::shared_ptr<Slot> current_;
    std::thread worker_;  // started with the first request
};
