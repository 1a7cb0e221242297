#pragma once

// The Sobre tab: terms of use, support contacts and third-party credits. Holds no state; the
// open and closed sections are the GUI library's.
class AboutTab {
public:
    void Draw();
};
