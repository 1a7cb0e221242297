#pragma once

class AudioTester;

// The Som tab: level meter, record and play back buttons, and the microphone volume.
class AudioTab {
public:
    explicit AudioTab(AudioTester& tester);

    void Draw();

private:
    AudioTester& tester_;
    bool errorDismissed_ = false;  // "OK" pressed on "Erro de Áudio" during this visit
    int lastFrame_ = -10;          // GUI frame of the last drawing, to notice a new visit
};
