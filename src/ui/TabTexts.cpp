#include "ui/TabTexts.h"

#include "platform/PlatformTexts.h"

namespace ui {
namespace {
const platform::PlatformTexts& P() { return platform::Texts(); }
}  // namespace

const std::string& NoCaptureDeviceText() {
    static const std::string text = std::string("Nenhum dispositivo encontrado (Verifique ") + P().captureCheckHint + ")";
    return text;
}

const std::string& DiskRowLabel() {
    static const std::string text = std::string("Espaco em Disco (") + P().systemDiskName + "):";
    return text;
}

const std::string& CaptureHeading() {
    static const std::string text = std::string("Captura de Pacotes em Tempo Real (") + P().captureLibrary + ")";
    return text;
}

const std::string& CaptureStartFailedLine() {
    static const std::string text = std::string("Failed to initialize Sniffer (Check ") + P().captureCheckHintEn + ")";
    return text;
}

const std::string& NoAudioDevicesText() {
    static const std::string text =
        std::string("Nao ha dispositivos de audio ativos ou identificados como usaveis pelo ") + P().systemName + ".";
    return text;
}

}  // namespace ui
