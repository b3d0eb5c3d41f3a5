#pragma once
// The command line of qvpublish.exe.

#include <string>
#include <vector>

#include "tools/publish/checker.h"
#include "tools/publish/publisher.h"
#include "tools/publish/signing.h"

namespace qv::publish {

struct Command {
    enum class Kind { kHelp, kPublish, kCheck, kKeygen } kind = Kind::kHelp;
    PublishOptions publish;
    CheckOptions check;
    KeygenOptions keygen;
    bool quiet = false;
};

// Reads the arguments (without the program name); false with a message in `error`
// when they make no sense.
[[nodiscard]] bool ParseCommandLine(const std::vector<std::wstring>& args, Command& command,
                                    std::wstring& error);

// What --help prints.
std::wstring HelpText();

}  // namespace qv::publish
