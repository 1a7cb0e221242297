#pragma once
#include <memory>

namespace platform {

// Master volume of the sound server's default input (source) as a scalar 0.0-1.0, where 1.0
// is the server's nominal 100 %. The connection is made on first use and again after it is
// lost (at most once a second), so a server or microphone that appears later is found.
class MicVolume {
public:
    MicVolume();
    ~MicVolume();
    MicVolume(const MicVolume&) = delete;
    MicVolume& operator=(const MicVolume&) = delete;

    // False (volume untouched) when no server or no default source is available.
    bool Get(float& volume);
    bool Set(float volume);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace platform
