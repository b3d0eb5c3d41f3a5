#include "http/url.h"

#include <windows.h>

#include <string>
#include <string_view>

#include "win/text.h"

namespace qv {

namespace {

struct SchemeEntry {
    const wchar_t* name;
    uint32_t length;
    uint16_t default_port;
};

// Indexed by UrlScheme.
constexpr SchemeEntry kSchemes[] = {
    {L"ftp", 3, 21}, {L"gopher", 6, 70}, {L"http", 4, 80},  {L"https", 5, 443},
    {L"file", 4, 0}, {L"news", 4, 0},    {L"mailto", 6, 0}, {L"socks", 5, 1080},
};
constexpr int32_t kSchemeCount = static_cast<int32_t>(sizeof(kSchemes) / sizeof(kSchemes[0]));

// The length of `text`, but counting no further than limit + 1: enough to tell
// that a text is too long without walking all of it.
size_t BoundedLength(const wchar_t* text, size_t limit) noexcept {
    size_t length = 0;
    while (length <= limit && text[length] != L'\0') {
        ++length;
    }
    return length;
}

// Copies `length` characters into a field of `max_length` characters plus
// terminator, or refuses and leaves the field as it was.
bool StoreText(wchar_t* field, size_t max_length, uint32_t& field_length, const wchar_t* text,
               size_t length) noexcept {
    if (length > max_length) {
        return false;
    }
    std::char_traits<wchar_t>::copy(field, text, length);
    field[length] = L'\0';
    field_length = static_cast<uint32_t>(length);
    return true;
}

// The capacity comes from the array.
template <size_t N>
bool StoreText(wchar_t (&field)[N], uint32_t& field_length, const wchar_t* text,
               size_t length) noexcept {
    return StoreText(&field[0], N - 1, field_length, text, length);
}

// Leading decimal digits, keeping the low 16 bits of the value (70000 gives 4464).
// No digits give 0.
uint16_t ReadPort(const wchar_t* text, size_t length) noexcept {
    uint32_t value = 0;
    for (size_t i = 0; i < length && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = (value * 10 + static_cast<uint32_t>(text[i] - L'0')) & 0xFFFFu;
    }
    return static_cast<uint16_t>(value);
}

// Bytes that stay as they are before the first '?' or '#'.
bool IsKeptByte(unsigned char b) noexcept {
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) {
        return true;
    }
    switch (b) {
        case '!':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '-':
        case '.':
        case '/':
        case ':':
        case '_':
        case '~':
        case '%':
            return true;
        default:
            return false;
    }
}

}  // namespace

uint16_t SchemeDefaultPort(UrlScheme scheme) noexcept {
    if (scheme < 0 || scheme >= kSchemeCount) {
        return 0;
    }
    return kSchemes[scheme].default_port;
}

CParsedUrl::CParsedUrl() noexcept {
    Reset();
    static_cast<void>(SetScheme(URL_SCHEME_HTTP));  // a table entry: always fits
}

void CParsedUrl::Reset() noexcept {
    scheme_name_[0] = L'\0';
    host_name_[0] = L'\0';
    user_name_[0] = L'\0';
    password_[0] = L'\0';
    url_path_[0] = L'\0';
    extra_info_[0] = L'\0';
    port_ = 0;
    scheme_ = URL_SCHEME_UNKNOWN;
    scheme_name_length_ = 0;
    host_name_length_ = 0;
    user_name_length_ = 0;
    password_length_ = 0;
    url_path_length_ = 0;
    extra_info_length_ = 0;
}

bool CParsedUrl::SetScheme(UrlScheme scheme) noexcept {
    if (scheme < 0 || scheme >= kSchemeCount) {
        return false;
    }
    const SchemeEntry& entry = kSchemes[scheme];
    if (!StoreText(scheme_name_, scheme_name_length_, entry.name, entry.length)) {
        return false;
    }
    scheme_ = scheme;
    port_ = entry.default_port;
    return true;
}

bool CParsedUrl::AssignSchemeName(const wchar_t* name, size_t length) noexcept {
    if (!StoreText(scheme_name_, scheme_name_length_, name, length)) {
        return false;
    }
    scheme_ = URL_SCHEME_UNKNOWN;
    port_ = 0;
    for (int32_t i = 0; i < kSchemeCount; ++i) {
        // Scheme names are ASCII; folding only ASCII keeps the lookup independent of locale.
        if (EqualsAsciiNoCase(std::wstring_view(name, length), kSchemes[i].name)) {
            scheme_ = static_cast<UrlScheme>(i);
            port_ = kSchemes[i].default_port;
            break;
        }
    }
    return true;
}

bool CParsedUrl::SetSchemeName(const wchar_t* name) noexcept {
    if (name == nullptr) {
        return false;
    }
    return AssignSchemeName(name, BoundedLength(name, kMaxSchemeNameLength));
}

bool CParsedUrl::SetHostName(const wchar_t* host) noexcept {
    return host != nullptr &&
           StoreText(host_name_, host_name_length_, host, BoundedLength(host, kMaxHostNameLength));
}

bool CParsedUrl::SetUserName(const wchar_t* user) noexcept {
    return user != nullptr &&
           StoreText(user_name_, user_name_length_, user, BoundedLength(user, kMaxUserNameLength));
}

bool CParsedUrl::AssignPassword(const wchar_t* password, size_t length) noexcept {
    if (length > 0 && user_name_length_ == 0) {
        return false;
    }
    return StoreText(password_, password_length_, password, length);
}

bool CParsedUrl::SetPassword(const wchar_t* password) noexcept {
    return password != nullptr &&
           AssignPassword(password, BoundedLength(password, kMaxPasswordLength));
}

bool CParsedUrl::SetUrlPath(const wchar_t* path) noexcept {
    return path != nullptr &&
           StoreText(url_path_, url_path_length_, path, BoundedLength(path, kMaxUrlPathLength));
}

bool CParsedUrl::SetExtraInfo(const wchar_t* extra) noexcept {
    return extra != nullptr && StoreText(extra_info_, extra_info_length_, extra,
                                         BoundedLength(extra, kMaxExtraInfoLength));
}

bool CParsedUrl::ParseUrl(const wchar_t* text, uint32_t flags) noexcept {
    Reset();
    if (text == nullptr || flags != 0 || !SplitUrl(text)) {
        Reset();
        return false;
    }
    return true;
}

// Three phases: authority (scheme, user, password, host, port), path, extra info.
// The text collected in the authority phase is always the run text[collected, i),
// because every character that ends a component is skipped together with it.
bool CParsedUrl::SplitUrl(const wchar_t* text) noexcept {
    const size_t length = std::char_traits<wchar_t>::length(text);
    bool have_scheme = false;
    bool have_host = false;
    bool have_user = false;
    bool have_port = false;
    bool in_brackets = false;
    size_t collected = 0;
    size_t path_start = length;

    size_t i = 0;
    while (i < length) {
        const wchar_t c = text[i];
        if (c == L':' && !in_brackets && !have_scheme) {
            if (!AssignSchemeName(text + collected, i - collected)) {
                return false;
            }
            have_scheme = true;
            ++i;  // text[i] may be the terminator; text[i + 1] is read only after a '/'
            if (text[i] == L'/' && text[i + 1] == L'/') {
                if (scheme_ == URL_SCHEME_MAILTO) {
                    return false;
                }
                i += 2;
            } else if (text[i] == L'/') {
                path_start = i;
                break;
            }
            if (scheme_ == URL_SCHEME_FILE) {
                path_start = i;  // a file URL is all path after the scheme
                break;
            }
            collected = i;
            continue;
        }
        if (c == L':' && !in_brackets) {
            // The second token: a port (host:port) or a password (user:password@).
            // It also ends at '?', so that a query right after a port is kept.
            const size_t token = i + 1;
            size_t end = token;
            while (end < length && text[end] != L'/' && text[end] != L'@' && text[end] != L'?') {
                ++end;
                if (end - token > kMaxSecondTokenLength) {
                    return false;
                }
            }
            const bool at_sign = end < length && text[end] == L'@';
            if (!at_sign && !have_port) {
                if (!StoreText(host_name_, host_name_length_, text + collected, i - collected)) {
                    return false;
                }
                have_host = true;
                port_ = ReadPort(text + token, end - token);
                have_port = true;
                i = end;
                collected = end;
                continue;
            }
            if (at_sign && !have_user) {
                if (!StoreText(user_name_, user_name_length_, text + collected, i - collected) ||
                    !AssignPassword(text + token, end - token)) {
                    return false;
                }
                have_user = true;
                i = end + 1;
                collected = i;
                continue;
            }
            return false;
        }
        if (c == L'@') {
            if (have_user ||
                !StoreText(user_name_, user_name_length_, text + collected, i - collected)) {
                return false;
            }
            have_user = true;
            ++i;
            collected = i;
            continue;
        }
        if (c == L'/' || c == L'?' || i + 1 == length) {
            const size_t end = (c == L'/' || c == L'?') ? i : i + 1;
            if (!have_host) {
                if (!StoreText(host_name_, host_name_length_, text + collected, end - collected)) {
                    return false;
                }
                have_host = true;
            }
            path_start = end;
            break;
        }
        if (c == L'[' && have_scheme && !have_host) {
            in_brackets = true;
        } else if (c == L']') {
            in_brackets = false;
        }
        ++i;
    }
    if (!have_scheme) {
        return false;
    }

    // Path: up to the first '?' or '#', except that a file URL is path to the end.
    size_t path_end = path_start;
    if (scheme_ == URL_SCHEME_FILE) {
        path_end = length;
    } else {
        while (path_end < length && text[path_end] != L'?' && text[path_end] != L'#') {
            ++path_end;
        }
    }
    if (!StoreText(url_path_, url_path_length_, text + path_start, path_end - path_start)) {
        return false;
    }
    // Extra info: the rest.
    if (!StoreText(extra_info_, extra_info_length_, text + path_end, length - path_end)) {
        return false;
    }

    if (scheme_ == URL_SCHEME_FILE || scheme_ == URL_SCHEME_NEWS || scheme_ == URL_SCHEME_MAILTO) {
        port_ = 0;
    } else if (!have_port) {
        port_ = SchemeDefaultPort(scheme_);
    }
    return true;
}

bool CParsedUrl::ComposeUrl(wchar_t* buffer, uint32_t* capacity, uint32_t flags) const noexcept {
    if (capacity == nullptr || flags != 0) {
        return false;
    }
    // The port's digits, written backwards.
    wchar_t port_digits[5];
    uint32_t port_digit_count = 0;
    uint32_t port_value = port_;
    do {
        port_digits[port_digit_count++] = static_cast<wchar_t>(L'0' + port_value % 10);
        port_value /= 10;
    } while (port_value != 0);

    const bool is_mailto = scheme_ == URL_SCHEME_MAILTO;
    const bool show_port = port_ != SchemeDefaultPort(scheme_);
    const bool add_slash = host_name_length_ > 0 && url_path_length_ > 0 && url_path_[0] != L'/' &&
                           url_path_[0] != L'\\';

    // Counted generously (the scheme's "://" and the port even where they are not
    // written), so the needed size is never too small.
    uint32_t needed = scheme_name_length_ + 3 + (is_mailto ? 1 : 0);
    if (user_name_length_ > 0) {
        needed += user_name_length_ + 1;
    }
    if (password_length_ > 0) {
        needed += password_length_ + 1;
    }
    needed += host_name_length_;
    if (add_slash) {
        needed += 1;
    }
    if (show_port) {
        needed += 1 + port_digit_count;
    }
    needed += url_path_length_ + extra_info_length_;

    if (buffer == nullptr || *capacity < needed + 1) {
        *capacity = needed + 1;
        return false;
    }

    uint32_t out = 0;
    auto append = [&](const wchar_t* text, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            buffer[out++] = text[i];
        }
    };
    if (scheme_name_length_ > 0) {
        append(scheme_name_, scheme_name_length_);
        append(L":", 1);
        if (!is_mailto) {
            append(L"//", 2);
        }
    }
    if (user_name_length_ > 0) {
        append(user_name_, user_name_length_);
        if (password_length_ > 0) {
            append(L":", 1);
            append(password_, password_length_);
        }
        append(L"@", 1);
    }
    if (host_name_length_ > 0) {
        append(host_name_, host_name_length_);
        if (show_port) {
            append(L":", 1);
            while (port_digit_count > 0) {
                buffer[out++] = port_digits[--port_digit_count];
            }
        }
        if (add_slash) {
            append(L"/", 1);
        }
    }
    append(url_path_, url_path_length_);
    append(extra_info_, extra_info_length_);
    buffer[out] = L'\0';
    *capacity = out;
    return true;
}

bool PercentEncodeUrl(const wchar_t* text, std::wstring& out) noexcept {
    out.clear();
    if (text == nullptr) {
        return false;
    }
    // Every input character gives at least one output byte, so a longer input can
    // only fail; stopping here bounds the conversion below.
    constexpr size_t kMaxOutput = kMaxEncodedUrlCapacity - 1;
    const size_t length = BoundedLength(text, kMaxOutput);
    if (length > kMaxOutput) {
        return false;
    }
    try {
        std::string utf8;
        if (!ToCodePage(std::wstring_view(text, length), CP_UTF8, utf8, WC_ERR_INVALID_CHARS)) {
            return false;  // a lone surrogate: refuse rather than fetch some other URL
        }
        static const char kHex[] = "0123456789abcdef";
        std::string encoded;
        encoded.reserve(kMaxOutput);
        bool verbatim = false;
        for (const char byte : utf8) {
            const auto b = static_cast<unsigned char>(byte);
            if (b == '?' || b == '#') {
                verbatim = true;
            }
            const bool kept = verbatim || IsKeptByte(b);
            if (encoded.size() + (kept ? 1 : 3) > kMaxOutput) {
                return false;
            }
            if (kept) {
                encoded.push_back(byte);
            } else {
                encoded.push_back('%');
                encoded.push_back(kHex[b >> 4]);
                encoded.push_back(kHex[b & 0x0F]);
            }
        }
        // The request text goes out in the ANSI code page, so the bytes are read in it.
        return FromCodePage(encoded, CP_THREAD_ACP, out);
    } catch (...) {  // allocation failures: nothing may leave this module
        out.clear();
        return false;
    }
}

bool CompleteRedirectUrl(const CParsedUrl& current, std::wstring& reference) noexcept {
    try {
        size_t begin = 0;
        size_t end = reference.size();
        while (begin < end && IsAsciiSpace(reference[begin])) {
            ++begin;
        }
        while (end > begin && IsAsciiSpace(reference[end - 1])) {
            --end;
        }
        std::wstring trimmed = reference.substr(begin, end - begin);
        if (HasControlCharacter(trimmed)) {
            reference.clear();
            return false;
        }

        CParsedUrl probe;
        if (probe.ParseUrl(trimmed.c_str())) {
            reference.swap(trimmed);
            return true;
        }

        CParsedUrl target = current;
        std::wstring path;
        if (!trimmed.empty() && trimmed[0] == L'/') {
            path.swap(trimmed);
        } else {
            path = current.UrlPathLength() > 0 ? current.UrlPath() : L"/";
            const size_t slash = path.rfind(L'/');
            if (slash == std::wstring::npos) {
                reference.clear();
                return false;
            }
            path.erase(slash + 1);
            path += trimmed;
        }
        wchar_t composed[kMaxRedirectUrlCapacity];
        uint32_t capacity = kMaxRedirectUrlCapacity;
        if (!target.SetUrlPath(path.c_str()) || !target.ComposeUrl(composed, &capacity)) {
            reference.clear();
            return false;
        }
        reference.assign(composed, capacity);
        return true;
    } catch (...) {  // allocation failures: nothing may leave this module
        reference.clear();
        return false;
    }
}

}  // namespace qv
