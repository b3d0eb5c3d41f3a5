// qvpublish.exe: the vendor's release publisher. See HelpText() for its use.

#include <windows.h>

#include <string>
#include <vector>

#include "tools/publish/checker.h"
#include "tools/publish/command_line.h"
#include "tools/publish/log.h"
#include "tools/publish/publisher.h"
#include "tools/publish/signing.h"

int wmain(int argc, wchar_t** argv) {
    using namespace qv::publish;
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    ConsoleLog log;
    Command command;
    std::wstring error;
    if (!ParseCommandLine(args, command, error)) {
        log.Error(error + L" (see qvpublish --help)");
        return kExitUsage;
    }
    log.SetQuiet(command.quiet);
    switch (command.kind) {
        case Command::Kind::kPublish:
            return Publish(command.publish, log);
        case Command::Kind::kCheck:
            return Check(command.check, log);
        case Command::Kind::kKeygen:
            return GenerateKeys(command.keygen, log);
        case Command::Kind::kHelp:
            break;
    }
    log.Info(HelpText());
    return kExitOk;
}
