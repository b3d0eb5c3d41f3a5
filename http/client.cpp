#include "http/client.h"

#include <climits>

#include "http/client_impl.h"

namespace qv {

bool AuthSchemeLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

bool WideToAnsi(const std::wstring& text, std::string& out) {
    out.clear();
    if (text.empty()) {
        return true;
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    const int length = static_cast<int>(text.size());
    const int count =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return false;
    }
    out.resize(static_cast<size_t>(count));
    return WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, out.data(), count, nullptr,
                               nullptr) == count;
}

template class CAtlHttpClientT<ZEvtSyncSocket>;

}  // namespace qv
