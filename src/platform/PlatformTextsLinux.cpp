#include "platform/PlatformTexts.h"

namespace platform {

const PlatformTexts& Texts() {
    static const PlatformTexts texts{
        "sistema",
        "libpcap",
        "permissoes de captura",
        "libpcap capture rights",
        "/",
        "/",
        "A captura precisa de root ou das permissoes CAP_NET_RAW e CAP_NET_ADMIN "
        "(setcap cap_net_raw,cap_net_admin=eip no executavel).",
        "Biblioteca de captura libpcap nao encontrada (instale o pacote libpcap).",
        {
            {"1. LIBPCAP (Packet Capture Library)",
             {"Desenvolvedor: The Tcpdump Group.",
              "Uso: Captura de pacotes de rede para as funcionalidades de MTR e Flow.",
              "Licença: Licença BSD (3 cláusulas).",
              "Créditos: Agradecemos à equipe do projeto tcpdump pelo desenvolvimento da libpcap.",
              "Site: https://www.tcpdump.org/"}},
            {"2. IMGUI (Dear ImGui)",
             {"Desenvolvedor: Omar Cornut e colaboradores.", "Uso: Interface Gráfica (GUI) da aplicação.",
              "Licença: Licença MIT (Permissiva).", "Código-fonte: https://github.com/ocornut/imgui"}},
            {"3. SDL2 / OPENGL",
             {"Desenvolvedor: Projeto SDL (Simple DirectMedia Layer) e The Khronos Group (OpenGL).",
              "Uso: Janela, teclado, mouse, áudio e renderização acelerada por hardware.",
              "Licença: zlib (SDL2); implementação OpenGL do sistema (Mesa: Licença MIT)."}},
            {"4. OUTROS COMPONENTES",
             {"libcurl (Daniel Stenberg e colaboradores, licença curl): consulta do IP público.",
              "libpulse (projeto PulseAudio, LGPL 2.1): volume do microfone.",
              "Xlib (X.Org Foundation, licença MIT/X11): ícone na área de notificação.",
              "OpenSSL libcrypto (Licença Apache 2.0): verificação da senha de acesso.",
              "GoogleTest (Google, Licença BSD de 3 cláusulas): testes automatizados.",
              "Biblioteca padrão C++ (GNU libstdc++), compiladores GCC/Clang e CMake na compilação."}},
        },
    };
    return texts;
}

}  // namespace platform
