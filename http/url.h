#pragma once
// URL escaping, splitting into components, composing, and completing redirect
// references. Components are fixed-capacity texts, as the request needs them.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

enum UrlScheme : int32_t {
    URL_SCHEME_UNKNOWN = -1,
    URL_SCHEME_FTP = 0,
    URL_SCHEME_GOPHER = 1,
    URL_SCHEME_HTTP = 2,
    URL_SCHEME_HTTPS = 3,
    URL_SCHEME_FILE = 4,
    URL_SCHEME_NEWS = 5,
    URL_SCHEME_MAILTO = 6,
    URL_SCHEME_SOCKS = 7,
};

// Longest texts, terminator not included.
inline constexpr uint32_t kMaxSchemeNameLength = 32;
inline constexpr uint32_t kMaxHostNameLength = 256;
inline constexpr uint32_t kMaxUserNameLength = 128;
inline constexpr uint32_t kMaxPasswordLength = 128;
inline constexpr uint32_t kMaxUrlPathLength = 2048;
inline constexpr uint32_t kMaxExtraInfoLength = 2048;
// Escaped URL capacity, terminator included.
inline constexpr uint32_t kMaxEncodedUrlCapacity = 2083;
// Longest text after a ':' that follows the scheme (a port or a password).
inline constexpr uint32_t kMaxSecondTokenLength = 128;
// Capacity, terminator included, of the URL that a completed redirect composes.
inline constexpr uint32_t kMaxRedirectUrlCapacity = 2048;

// The scheme's default port; 0 for schemes without one and for URL_SCHEME_UNKNOWN.
uint16_t SchemeDefaultPort(UrlScheme scheme) noexcept;

class CParsedUrl {
public:
    // Reset, then scheme "http" with port 80.
    CParsedUrl() noexcept;

    // All texts empty, port 0, scheme unknown.
    void Reset() noexcept;

    // Resets, then splits `text`; components are kept as written (nothing is
    // decoded). A port ends at '/', '?' or the end, so a query right after it stays
    // extra info. Flags other than 0 (decoding) are not supported and fail. On
    // failure the object is left reset.
    [[nodiscard]] bool ParseUrl(const wchar_t* text, uint32_t flags = 0) noexcept;

    // Writes the URL into `buffer`. `capacity` is in/out: the buffer's size in
    // characters on entry; on success the written length without terminator, on
    // failure (too small, or no buffer) the size needed including the terminator.
    // Flags other than 0 are not supported and fail with `capacity` unchanged.
    [[nodiscard]] bool ComposeUrl(wchar_t* buffer, uint32_t* capacity,
                                  uint32_t flags = 0) const noexcept;

    // Setters refuse (return false, change nothing) text over the field's capacity
    // and a null pointer.
    [[nodiscard]] bool SetScheme(UrlScheme scheme) noexcept;  // by table index 0..7
    [[nodiscard]] bool SetSchemeName(
        const wchar_t* name) noexcept;  // looked up without regard to case
    [[nodiscard]] bool SetHostName(const wchar_t* host) noexcept;
    [[nodiscard]] bool SetUserName(const wchar_t* user) noexcept;
    [[nodiscard]] bool SetPassword(
        const wchar_t* password) noexcept;  // refused while the user is empty
    [[nodiscard]] bool SetUrlPath(const wchar_t* path) noexcept;
    [[nodiscard]] bool SetExtraInfo(const wchar_t* extra) noexcept;
    void SetPortNumber(uint16_t port) noexcept { port_ = port; }

    [[nodiscard]] const wchar_t* SchemeName() const noexcept { return scheme_name_; }
    [[nodiscard]] const wchar_t* HostName() const noexcept { return host_name_; }
    [[nodiscard]] const wchar_t* UserName() const noexcept { return user_name_; }
    [[nodiscard]] const wchar_t* Password() const noexcept { return password_; }
    [[nodiscard]] const wchar_t* UrlPath() const noexcept { return url_path_; }
    [[nodiscard]] const wchar_t* ExtraInfo() const noexcept { return extra_info_; }
    [[nodiscard]] uint16_t PortNumber() const noexcept { return port_; }
    [[nodiscard]] UrlScheme Scheme() const noexcept { return scheme_; }
    [[nodiscard]] uint32_t SchemeNameLength() const noexcept { return scheme_name_length_; }
    [[nodiscard]] uint32_t HostNameLength() const noexcept { return host_name_length_; }
    [[nodiscard]] uint32_t UserNameLength() const noexcept { return user_name_length_; }
    [[nodiscard]] uint32_t PasswordLength() const noexcept { return password_length_; }
    [[nodiscard]] uint32_t UrlPathLength() const noexcept { return url_path_length_; }
    [[nodiscard]] uint32_t ExtraInfoLength() const noexcept { return extra_info_length_; }

private:
    // The parse proper; ParseUrl resets the object when this fails.
    [[nodiscard]] bool SplitUrl(const wchar_t* text) noexcept;
    [[nodiscard]] bool AssignSchemeName(const wchar_t* name, size_t length) noexcept;
    [[nodiscard]] bool AssignPassword(const wchar_t* password, size_t length) noexcept;

    wchar_t scheme_name_[kMaxSchemeNameLength + 1];
    wchar_t host_name_[kMaxHostNameLength + 1];
    wchar_t user_name_[kMaxUserNameLength + 1];
    wchar_t password_[kMaxPasswordLength + 1];
    wchar_t url_path_[kMaxUrlPathLength + 1];
    wchar_t extra_info_[kMaxExtraInfoLength + 1];
    uint16_t port_;
    UrlScheme scheme_;
    uint32_t scheme_name_length_;
    uint32_t host_name_length_;
    uint32_t user_name_length_;
    uint32_t password_length_;
    uint32_t url_path_length_;
    uint32_t extra_info_length_;
};

// Escapes a URL from its UTF-8 bytes: letters, digits, ! ' ( ) * - . / : _ ~ and %
// stay; every other byte becomes %xx (lowercase), up to the first '?' or '#', after
// which nothing is escaped. The bytes are read back in the thread's ANSI code page.
// Fails, leaving `out` empty, when the result with terminator would exceed
// kMaxEncodedUrlCapacity, when `text` is null, or when it is not well-formed UTF-16.
[[nodiscard]] bool PercentEncodeUrl(const wchar_t* text, std::wstring& out) noexcept;

// Turns a Location value into an absolute URL against `current`; the result
// replaces `reference`. Surrounding white space is dropped. A value holding a
// control character (CR, LF, NUL, ...) is refused, since it would end up in the
// request text. On failure `reference` is emptied, so that nothing half-made can be
// fetched.
[[nodiscard]] bool CompleteRedirectUrl(const CParsedUrl& current, std::wstring& reference) noexcept;

}  // namespace qv
