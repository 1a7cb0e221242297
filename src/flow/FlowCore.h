#pragma once
// Placeholder: the flow engine arrives with its issue. Keep Stop.
class FlowCore {
public:
    void Stop() {}
};
