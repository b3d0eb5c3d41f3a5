#include "http/client.h"

#include "http/client_impl.h"
#include "win/text.h"

namespace qv {

bool AuthSchemeLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return LessNoCase(a, b);
}

template class CAtlHttpClientT<CTransportSocket>;

}  // namespace qv
