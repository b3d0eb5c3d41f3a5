#include "app/application.h"

#include "app/main_window.h"

namespace qv {

int RunApplication(const wchar_t* /*command_line*/, int /*show_command*/) {
    return RunMainWindow<CMainDlg>();
}

}  // namespace qv
