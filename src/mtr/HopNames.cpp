#include "mtr/HopNames.h"

#include <memory>

#include "logs/Trace.h"
#include "platform/ReverseLookup.h"

// One lookup on its own thread, which may outlive the worker's wait for it.
struct HopNames::Slot {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;  // the engine is shutting down: nobody waits any more
    std::optional<std::string> name;
};

HopNames::HopNames(Lookup lookup, std::chrono::milliseconds timeout)
    : lookup_(lookup ? std::move(lookup) : Lookup(&platform::ReverseLookup)), timeout_(timeout) {}

HopNames::~HopNames() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        if (current_) {
            std::lock_guard<std::mutex> g(current_->m);
            current_->abandoned = true;
            current_->done.notify_all();
        }
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

std::string HopNames::NameOf(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(address);
    if (it != cache_.end()) return it->second.state == State::Found ? it->second.name : std::string();
    cache_.emplace(address, Entry{});
    queue_.push_back(address);
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread(&HopNames::Work, this);
        } catch (const std::exception& e) {
            // Without a worker no name is ever found; the addresses stay as they are.
            Trace(std::string("Name worker could not start: ") + e.what());
            cache_[address].state = State::Failed;
            queue_.clear();
            return {};
        }
    }
    wake_.notify_one();
    return {};
}

bool HopNames::WaitIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, limit, [this] { return queue_.empty() && !busy_; });
}

void HopNames::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return quit_ || !queue_.empty(); });
        if (quit_) return;
        const std::string address = queue_.front();
        queue_.pop_front();
        busy_ = true;

        // The system call has no time-out of its own, so it runs on a thread that may outlive
        // this wait: a name server that never answers costs one parked thread, not the queue.
        auto slot = std::make_shared<Slot>();
        current_ = slot;
        lock.unlock();
        std::optional<std::string> name;
        try {
            std::thread([slot, lookup = lookup_, address] {
                std::optional<std::string> found;
                try {
                    found = lookup(address);
                } catch (...) {
                }
                std::lock_guard<std::mutex> g(slot->m);
                slot->name = std::move(found);
                slot->finished = true;
                slot->done.notify_all();
            }).detach();
            std::unique_lock<std::mutex> wait(slot->m);
            if (slot->done.wait_for(wait, timeout_, [&] { return slot->finished || slot->abandoned; })) {
                if (slot->abandoned) return;
                name = slot->name;
            } else {
                Trace("Name lookup timed out: " + address);
            }
        } catch (const std::exception& e) {
            Trace(std::string("Name lookup could not start: ") + e.what());
        }

        lock.lock();
        Entry& entry = cache_[address];
        if (name && !name->empty()) {
            entry.state = State::Found;
            entry.name = *name;
        } else {
            entry.state = State::Failed;
        }
        busy_ = false;
        current_.reset();
        if (queue_.empty()) idle_.notify_all();
        if (onResolved_) {
            lock.unlock();
            onResolved_();
            lock.lock();
        }
    }
}
