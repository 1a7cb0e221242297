#include "ui/EngineTexts.h"

#include "platform/PlatformTexts.h"

std::string StartErrorText(StartError error) {
    switch (error) {
        case StartError::None: return {};
        case StartError::NoCaptureRights:
            return platform::Texts().noCaptureRights;
        case StartError::CaptureLibraryMissing: return platform::Texts().captureLibraryMissing;
        case StartError::DeviceNotFound: return "Interface de captura nao encontrada.";
        case StartError::CaptureOpenFailed: return "Nao foi possivel abrir a interface de captura.";
        case StartError::FilterRejected: return "O filtro de captura foi recusado.";
        case StartError::HostNotResolved: return "Nao foi possivel resolver o host de destino.";
        case StartError::SocketFailure: return "Nao foi possivel abrir os sockets de envio.";
        case StartError::FileUnreadable: return "Nao foi possivel ler o arquivo de captura.";
        case StartError::AlreadyRunning: return "Ja esta em execucao.";
    }
    return {};
}

std::string CaptureEndText(const std::string& loopError) {
    auto has = [&](const char* needle) { return loopError.find(needle) != std::string::npos; };
    std::string text = "Captura interrompida: ";
    if (has("interface disappeared") || has("No such device"))
        text += "a interface de captura deixou de existir";
    else if (has("interface went down") || has("Network is down"))
        text += "a interface de captura foi desativada";
    else if (has("truncated dump file"))
        text += "o arquivo de captura esta truncado";
    else if (loopError.empty())
        text += "a leitura de pacotes terminou sem motivo informado";
    else
        return text + loopError;
    return loopError.empty() ? text : text + " (" + loopError + ")";
}
