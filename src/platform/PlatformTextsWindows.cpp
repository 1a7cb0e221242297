#include "platform/PlatformTexts.h"

namespace platform {

const PlatformTexts& Texts() {
    static const PlatformTexts texts{
        "Windows",
        "Npcap",
        "Npcap",
        "Npcap",
        "C:",
        "C:\\",
        "A captura e o envio de sondas precisam de direitos de administrador "
        "(execute o programa como administrador).",
        "Npcap nao encontrado. Instale o Npcap (https://npcap.com/#download) para usar a captura.",
        {
            {"1. NPCAP (Network Packet Capture SDK)",
             {"Desenvolvedor: Projeto Nmap (Insecure.Com LLC).",
              "Uso: Captura de pacotes de rede para as funcionalidades de MTR e Flow.",
              "Licença: Npcap License (NPCAP OEM Free tem limites em ambientes comerciais).",
              "Créditos: Agradecemos à equipe do projeto Nmap pelo desenvolvimento do Npcap.",
              "Site: https://npcap.com/"}},
            {"2. IMGUI (Dear ImGui)",
             {"Desenvolvedor: Omar Cornut e colaboradores.", "Uso: Interface Gráfica (GUI) da aplicação.",
              "Licença: Licença MIT (Permissiva).", "Código-fonte: https://github.com/ocornut/imgui"}},
            {"3. MICROSOFT DIRECTX (DX11)",
             {"Desenvolvedor: Microsoft Corporation", "Uso: Renderização acelerada por hardware."}},
            {"4. OUTROS COMPONENTES",
             {"Biblioteca padrão C++ (GNU libstdc++) e runtime MinGW-w64, compilador GCC e CMake na "
              "compilação; libpcap (The Tcpdump Group, Licença BSD) nos testes automatizados."}},
        },
    };
    return texts;
}

}  // namespace platform
