// The Linux program's command line: --help and --version, as every tool beside
// it answers them, --json for programs that read the report, and a usage
// error for anything else, before anything is measured. The texts are
// Windows-1252, as the program's other messages.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/shared/console_text.h"
#include "platform/shared/report_stream.h"
#include "platform/seam.h"

namespace {

const char kUsage[] = "Usage : vexmora [--json | --help | --version]\n";

const char kHelp[] =
    "\n"
    "Identifie le processeur x86 de cette machine et \xE9" "crit un rapport en fran\xE7" "ais\n"
    "sur la sortie standard : nom, famille, mod\xE8le, fr\xE9quence, multiplicateurs,\n"
    "processeurs, c\x9Curs et threads, identifiants APIC, caches L2 et L3,\n"
    "temp\xE9ratures. Sans argument, il \xE9" "crit le rapport ; il ne prend pas d'autre\n"
    "argument que :\n"
    "  --json     \xE9" "crit le m\xEAme rapport en un document JSON (UTF-8), pour les\n"
    "             programmes, sans attendre de touche ; son sch\xE9ma est\n"
    "             /usr/share/doc/vexmora/vexmora.schema.json\n"
    "  --help     affiche cette aide\n"
    "  --version  affiche la version\n"
    "\n"
    "Codes de retour :\n"
    "  0        le rapport (ou le document JSON) a \xE9t\xE9 \xE9" "crit\n"
    "  1        l'\xE9" "criture du rapport a \xE9" "chou\xE9 (disque plein, sortie ferm\xE9" "e)\n"
    "  2        argument inconnu ou en trop\n"
    "  141      le lecteur du tube est parti avant la derni\xE8re \xE9" "criture\n"
    "           (128 + SIGPIPE) : vexmora | true ; vexmora | head -3 rend 0 quand\n"
    "           la fin du rapport arrive avant que head parte\n"
    "  128 + N  le signal N l'a interrompu pendant l'attente d'une touche\n"
    "\n"
    "Manuel : man vexmora\n";

const char kVersion[] = "vexmora " VEXMORA_VERSION "\n";

void Answer(const char* text) {
    const std::string utf8 = platform::Windows1252ToUtf8(text);
    platform::WriteReportStream(utf8.data(), utf8.size());
}

// The argument is the user's own text, printed as given.
platform::CommandLine Refuse(const char* why, const char* argument) {
    std::fprintf(stderr, "%s%s\n%s", platform::Windows1252ToUtf8(why).c_str(), argument,
                 platform::Windows1252ToUtf8(kUsage).c_str());
    std::fflush(stderr);
    return platform::CommandLine::kRefused;
}

}  // namespace

namespace platform {

CommandLine ReadCommandLine(int argc, const char* const* argv) {
    if (argc < 2) return CommandLine::kReport;
    const char* option = argv[1];
    const bool json = std::strcmp(option, "--json") == 0;
    const bool help = std::strcmp(option, "--help") == 0;
    const bool version = std::strcmp(option, "--version") == 0;
    if (!json && !help && !version) return Refuse("Vexmora: argument inconnu : ", option);
    if (argc > 2) return Refuse("Vexmora: argument en trop : ", argv[2]);
    if (json) return CommandLine::kJson;
    if (help) {
        Answer(kUsage);
        Answer(kHelp);
    } else {
        Answer(kVersion);
    }
    return CommandLine::kAnswered;
}

}  // namespace platform
