#include "http/client.h"

#include "http/client_impl.h"
#include "win/text.h"

namespace qv {

bool AuthSchemeLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

bool WideToAnsi(const std::wstring& text, std::string& out) {
    return ToCodePage(text, CP_THREAD_ACP, out);
}

template class CAtlHttpClientT<ZEvtSyncSocket>;

}  // namespace qv
