#pragma once
// TLS over a byte stream with the system's own implementation (SChannel through
// SSPI): the handshake with the server's name, the certificate check done here and
// never left to the system, and the record loop that turns records into bytes and
// back. secur32 and crypt32 are loaded from the system folder at first use (and
// cryptnet, kept for the revocation checks); without them nothing is sent at all.

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
// SCH_CREDENTIALS and TLS_PARAMETERS are declared only under this name.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qv {

// A TLS record is at most 16 KiB of plain text plus 2 KiB of expansion and its 5-byte
// header. Received bytes are kept in a buffer of thirty-two records: a handshake
// message may span records (SChannel takes them one at a time), and under Wine a
// receive costs far more than the bytes it copies, so a large one pays off (measured
// on a 256 MiB download: 0.98 s with eight records per receive, 0.63 s with 32).
inline constexpr DWORD kTlsMaxRecordBytes = 16384 + 2048 + 5;
inline constexpr DWORD kTlsReceiveCapacity = 32 * kTlsMaxRecordBytes;

// Recorded when the stream ended inside a record or a handshake.
inline constexpr SECURITY_STATUS kTlsTruncated = SEC_E_INCOMPLETE_MESSAGE;
// Recorded when the transport under the channel failed: its own error tells why.
inline constexpr SECURITY_STATUS kTlsTransportFailed = SEC_E_INTERNAL_ERROR;

// SChannel's client credentials, freed with their owner. SChannel keeps its cache of
// sessions per credentials handle, so connections that share one resume the session
// of an earlier connection to the same server name (one round trip instead of two
// under TLS 1.2). They are always acquired with manual validation: the channel checks
// every certificate itself, a resumed session's included, and a handle acquired with
// other validation flags must never share their cache. Safe for channels on several
// threads at once.
class TlsCredentials {
public:
    // Acquires TLS 1.2 and, where the system has it, 1.3 through `sspi`.
    explicit TlsCredentials(const SecurityFunctionTableW& sspi) noexcept;
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    [[nodiscard]] bool Valid() const noexcept { return status_ == SEC_E_OK; }
    // SEC_E_OK, or why the provider gave no credentials.
    [[nodiscard]] SECURITY_STATUS Status() const noexcept { return status_; }
    // The handle for InitializeSecurityContextW, which takes it as non-const; only
    // while Valid().
    [[nodiscard]] CredHandle* Handle() noexcept { return &handle_; }

private:
    const SecurityFunctionTableW& sspi_;
    CredHandle handle_{};
    SECURITY_STATUS status_ = SEC_E_NO_CREDENTIALS;
};

// What the TLS code calls: the SSPI table, the credentials every channel shares and
// the certificate check. The system's own comes from LoadSystemTls; tests give their
// own.
struct TlsSystem {
    const SecurityFunctionTableW* sspi = nullptr;
    // Shared by every channel over this system; a channel without them fails.
    TlsCredentials* credentials = nullptr;
    // Checks the peer's certificate of an established context against `host`;
    // SEC_E_OK or the reason it is refused.
    SECURITY_STATUS(*verify)
    (const TlsSystem& system, CtxtHandle* context, const wchar_t* host) = nullptr;
    // crypt32, for the system's verify.
    decltype(&::CertGetCertificateChain) get_chain = nullptr;
    decltype(&::CertVerifyCertificateChainPolicy) verify_policy = nullptr;
    decltype(&::CertFreeCertificateChain) free_chain = nullptr;
    decltype(&::CertFreeCertificateContext) free_certificate = nullptr;
};

// The system's TLS, loaded once per process (thread-safely) with the process's one
// set of credentials, freed at exit; null when secur32 or crypt32 (or one of their
// functions) or the credentials cannot be had, and then every TLS connection fails.
// The first call also starts loading the trusted roots in the background, so that the
// first certificate check need not wait for them after its handshake.
[[nodiscard]] const TlsSystem* LoadSystemTls() noexcept;

// The chain and name check of the system's TLS: the chain must end in a trusted root,
// be valid now and for server authentication, and the certificate must name `host`.
// A revocation status the system cannot find out (offline, no revocation list) does
// not refuse the certificate; a revoked one does.
[[nodiscard]] SECURITY_STATUS VerifyServerCertificate(const TlsSystem& system, CtxtHandle* context,
                                                      const wchar_t* host) noexcept;

// The bytes under a TLS channel.
class TlsTransport {
public:
    virtual ~TlsTransport() = default;
    // Sends all `length` bytes; false when that fails.
    [[nodiscard]] virtual bool SendAll(const BYTE* bytes, DWORD length) noexcept = 0;
    // One receive: `length` is the capacity on entry, the count on return (0 at the
    // end of the stream).
    [[nodiscard]] virtual bool ReceiveSome(BYTE* buffer, DWORD* length) noexcept = 0;
};

// One TLS client connection over a transport. Not for use by two threads at once.
class TlsChannel {
public:
    explicit TlsChannel(const TlsSystem& system) noexcept;  // its buffers make it move-less
    ~TlsChannel();

    // Handshakes as a client of `host` (its name goes out as the server name and is
    // the one the certificate must carry), then checks the certificate, also when the
    // provider resumed an earlier session. A refused certificate's session is taken
    // out of the provider's cache. Any failure leaves the channel unusable; Status()
    // tells why.
    [[nodiscard]] bool Handshake(TlsTransport& transport, const wchar_t* host) noexcept;
    // Decrypted bytes: `length` is the capacity on entry and the count on return; 0
    // once the server has closed the session (close notify, or the stream ended
    // between records). Fills the buffer from every whole record received, and waits
    // for the network only while it has nothing to give. False on a broken record or
    // a failed receive.
    [[nodiscard]] bool Read(TlsTransport& transport, BYTE* buffer, DWORD* length) noexcept;
    // Encrypts and sends all `length` bytes, in records of the largest size allowed.
    [[nodiscard]] bool Write(TlsTransport& transport, const BYTE* bytes, DWORD length) noexcept;

    // The last SSPI status, or the certificate check's reason.
    [[nodiscard]] SECURITY_STATUS Status() const noexcept { return status_; }
    [[nodiscard]] bool Established() const noexcept { return established_; }

private:
    // Feeds received handshake bytes to the context until it completes; `initial`
    // starts a new handshake (the first call sends the client's hello).
    [[nodiscard]] bool RunHandshake(TlsTransport& transport, const wchar_t* host,
                                    bool initial) noexcept;
    // Receives more bytes after those held; false when the buffer is full, the
    // receive fails or the stream ends (status kTlsTruncated).
    [[nodiscard]] bool ReceiveMore(TlsTransport& transport) noexcept;
    // Keeps the last bytes given to SSPI, as many as its EXTRA buffer counts, as the
    // only bytes held (none without one).
    void KeepExtra(const SecBuffer* extra) noexcept;
    [[nodiscard]] bool SendToken(TlsTransport& transport, SecBuffer& token) noexcept;
    // Asks the provider never to resume the current session again.
    void ForgetSession() noexcept;
    void Release() noexcept;

    const TlsSystem& system_;
    CtxtHandle context_{};
    bool have_context_ = false;
    bool established_ = false;
    bool closed_ = false;  // the server ended the session
    SECURITY_STATUS status_ = SEC_E_OK;
    SecPkgContext_StreamSizes sizes_{};
    std::wstring host_;
    // Received bytes not yet decrypted: received_length_ bytes from received_start_.
    // Records are taken from the front without moving the rest; what is left moves to
    // the start of the buffer only before the next receive.
    std::unique_ptr<BYTE[]> received_;
    DWORD received_start_ = 0;
    DWORD received_length_ = 0;
    // Decrypted bytes not yet read: [plain_offset_, plain_length_).
    std::unique_ptr<BYTE[]> plain_;
    DWORD plain_offset_ = 0;
    DWORD plain_length_ = 0;
    // One encrypted record on its way out.
    std::unique_ptr<BYTE[]> record_;
    DWORD record_capacity_ = 0;
};

}  // namespace qv
