#include "update/download.h"

#include "update/update_logic.h"

namespace qv {

// Built with the HTTP client; answers with its failure result for now.
bool CUpdateLogic::DownloadToFile(const std::wstring&, const std::wstring&) { return false; }

}  // namespace qv
