#include "http/tls.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>

#include "win/system_library.h"

namespace qv {

namespace {

// What the channel asks of every context: a stream of records in order, never
// replayed, encrypted, and token buffers the provider allocates.
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_USE_SUPPLIED_CREDS;

// The SSL policy's flag that leaves revocation out (the value WinINet names
// SECURITY_FLAG_IGNORE_REVOCATION; its header is not ours to include).
constexpr DWORD kIgnoreRevocation = 0x00000080;

// Handshake steps of one handshake: each consumes a record or sends a flight, so a
// real server needs a handful; a peer that keeps one busy for longer is refused.
constexpr int kMaxHandshakeSteps = 64;

// The crypt32 functions that load the trusted roots ahead of the first check.
struct RootStoreFunctions {
    decltype(&::CertOpenStore) open_store = nullptr;
    decltype(&::CertCloseStore) close_store = nullptr;
    decltype(&::CertEnumCertificatesInStore) next_certificate = nullptr;
    decltype(&::CertGetCertificateChain) get_chain = nullptr;
    decltype(&::CertFreeCertificateChain) free_chain = nullptr;
    decltype(&::CertFreeCertificateContext) free_certificate = nullptr;
};

// A certificate object released, on every path, through the function the loaded
// crypt32 gave for it (a store's close takes its flags too).
template <typename Object, typename Release>
class LoadedObject {
public:
    explicit LoadedObject(Release release) noexcept : release_(release) {}
    ~LoadedObject() {
        if (object != nullptr) {
            if constexpr (std::is_invocable_v<Release, Object>) {
                static_cast<void>(release_(object));
            } else {
                static_cast<void>(release_(object, 0));
            }
        }
    }
    LoadedObject(const LoadedObject&) = delete;
    LoadedObject& operator=(const LoadedObject&) = delete;

    Object object = nullptr;

private:
    Release release_;
};

// Opens the user's trusted roots and builds the chain of one of them, which makes the
// system load its root store and chain engine, as the first certificate check would
// (under Wine that check otherwise spends about 0.3 s loading the host's roots, after
// its handshake). Runs while the first connection connects and handshakes; nothing
// is fetched from the network, nothing is judged, and a failure only leaves the work
// to that check.
void WarmUpCertificateCheck(RootStoreFunctions f) noexcept {
    LoadedObject<HCERTSTORE, decltype(f.close_store)> store(f.close_store);
    store.object = f.open_store(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
        L"Root");
    if (store.object == nullptr) {
        return;
    }
    // Enumeration frees the context it is given; the one it returns is ours.
    LoadedObject<PCCERT_CONTEXT, decltype(f.free_certificate)> root(f.free_certificate);
    root.object = f.next_certificate(store.object, nullptr);
    if (root.object == nullptr) {
        return;
    }
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    LoadedObject<PCCERT_CHAIN_CONTEXT, decltype(f.free_chain)> chain(f.free_chain);
    static_cast<void>(
        f.get_chain(nullptr, root.object, nullptr, nullptr, &chain_para,
                    CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                    nullptr, &chain.object));
}

// The crypt32 functions the warm-up and the certificate check use.
RootStoreFunctions FindRootStoreFunctions(const SystemLibrary& crypt32) noexcept {
    RootStoreFunctions f;
    f.open_store = crypt32.Find<decltype(&::CertOpenStore)>("CertOpenStore");
    f.close_store = crypt32.Find<decltype(&::CertCloseStore)>("CertCloseStore");
    f.next_certificate =
        crypt32.Find<decltype(&::CertEnumCertificatesInStore)>("CertEnumCertificatesInStore");
    f.get_chain = crypt32.Find<decltype(&::CertGetCertificateChain)>("CertGetCertificateChain");
    f.free_chain = crypt32.Find<decltype(&::CertFreeCertificateChain)>("CertFreeCertificateChain");
    f.free_certificate =
        crypt32.Find<decltype(&::CertFreeCertificateContext)>("CertFreeCertificateContext");
    return f;
}

// The warm-up's thread; none when a function is missing or no thread can be had (the
// first check then does the work itself).
std::thread StartWarmUp(const RootStoreFunctions& f) noexcept {
    if (f.open_store == nullptr || f.close_store == nullptr || f.next_certificate == nullptr ||
        f.get_chain == nullptr || f.free_chain == nullptr || f.free_certificate == nullptr) {
        return {};
    }
    try {
        return std::thread(&WarmUpCertificateCheck, f);
    } catch (...) {
        return {};
    }
}

// The library's own copies live for the process: the table points into secur32, and
// the credentials are freed (and the warm-up joined) before the libraries go. The
// warm-up starts first, so that loading secur32 and acquiring the credentials overlap
// it too.
struct LoadedTls {
    SystemLibrary crypt32{L"crypt32.dll"};
    // Held for the process: crypt32 loads it for every revocation check and frees it
    // again, which under Wine costs a connection more (10-20 ms) than the check.
    SystemLibrary cryptnet{L"cryptnet.dll"};
    RootStoreFunctions roots = FindRootStoreFunctions(crypt32);
    std::thread warm_up = StartWarmUp(roots);
    SystemLibrary secur32{L"secur32.dll"};
    TlsSystem system;
    std::optional<TlsCredentials> credentials;
    bool ok = false;

    LoadedTls() noexcept {
        const auto init = secur32.Find<INIT_SECURITY_INTERFACE_W>("InitSecurityInterfaceW");
        system.sspi = init != nullptr ? init() : nullptr;
        system.verify = &VerifyServerCertificate;
        system.get_chain = roots.get_chain;
        system.verify_policy = crypt32.Find<decltype(&::CertVerifyCertificateChainPolicy)>(
            "CertVerifyCertificateChainPolicy");
        system.free_chain = roots.free_chain;
        system.free_certificate = roots.free_certificate;
        const SecurityFunctionTableW* t = system.sspi;
        ok = t != nullptr && t->AcquireCredentialsHandleW != nullptr &&
             t->FreeCredentialsHandle != nullptr && t->InitializeSecurityContextW != nullptr &&
             t->DeleteSecurityContext != nullptr && t->QueryContextAttributesW != nullptr &&
             t->FreeContextBuffer != nullptr && t->EncryptMessage != nullptr &&
             t->DecryptMessage != nullptr && system.get_chain != nullptr &&
             system.verify_policy != nullptr && system.free_chain != nullptr &&
             system.free_certificate != nullptr;
        if (!ok) {
            return;
        }
        credentials.emplace(*t);
        system.credentials = &*credentials;
        ok = credentials->Valid();
    }
    ~LoadedTls() {
        if (warm_up.joinable()) {
            warm_up.join();
        }
    }
    LoadedTls(const LoadedTls&) = delete;
    LoadedTls& operator=(const LoadedTls&) = delete;
};

}  // namespace

// TLS 1.2 and, where the system has it, 1.3 (SCH_CREDENTIALS, Windows 10 1809 on);
// older systems refuse that form and get SCHANNEL_CRED with TLS 1.2. The certificate
// is never checked by the provider: the channel checks it itself after the handshake.
TlsCredentials::TlsCredentials(const SecurityFunctionTableW& sspi) noexcept : sspi_(sspi) {
    constexpr DWORD kFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry{};
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    wchar_t package[] = UNISP_NAME_W;
    status_ = sspi.AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                             &modern, nullptr, nullptr, &handle_, &expiry);
    if (status_ == SEC_E_OK) {
        return;
    }
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = kFlags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status_ = sspi.AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                             &older, nullptr, nullptr, &handle_, &expiry);
    if (status_ == SEC_E_OK) {
        return;
    }
    status_ = FAILED(status_) ? status_ : SEC_E_NO_CREDENTIALS;
}

TlsCredentials::~TlsCredentials() {
    if (Valid()) {
        sspi_.FreeCredentialsHandle(&handle_);
    }
}

namespace {

// The reason for the first fault a chain's trust status shows; 0 when it shows none.
DWORD ChainError(DWORD status) noexcept {
    struct Fault {
        DWORD bit;
        HRESULT error;
    };
    static constexpr Fault kFaults[] = {
        {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE},
        {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
        {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
    };
    for (const Fault& fault : kFaults) {
        if ((status & fault.bit) != 0) {
            return static_cast<DWORD>(fault.error);
        }
    }
    return status != 0 ? static_cast<DWORD>(CERT_E_CHAINING) : 0;
}

}  // namespace

const TlsSystem* LoadSystemTls() noexcept {
    static const LoadedTls loaded;
    return loaded.ok ? &loaded.system : nullptr;
}

SECURITY_STATUS VerifyServerCertificate(const TlsSystem& system, CtxtHandle* context,
                                        const wchar_t* host) noexcept {
    LoadedObject<PCCERT_CONTEXT, decltype(system.free_certificate)> peer(system.free_certificate);
    SECURITY_STATUS status = system.sspi->QueryContextAttributesW(
        context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer.object);
    const PCCERT_CONTEXT certificate = peer.object;
    if (status != SEC_E_OK || certificate == nullptr) {
        return status != SEC_E_OK ? status : SEC_E_CERT_UNKNOWN;
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // The certificates the server sent come along as the store of further
    // certificates: intermediates need not be installed.
    LoadedObject<PCCERT_CHAIN_CONTEXT, decltype(system.free_chain)> peer_chain(system.free_chain);
    if (!system.get_chain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_para,
                          CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, nullptr,
                          &peer_chain.object)) {
        status = static_cast<SECURITY_STATUS>(HRESULT_FROM_WIN32(GetLastError()));
        return status != SEC_E_OK ? status : SEC_E_CERT_UNKNOWN;
    }
    const PCCERT_CHAIN_CONTEXT chain = peer_chain.object;
    // The chain is judged here first: the SSL policy of some systems passes a chain
    // that does not reach any root at all. A revocation status that could not be
    // found out (no list named or reachable) is taken as browsers take it; a revoked
    // certificate, like every other fault of the chain, is refused.
    constexpr DWORD kRevocationUnknown =
        CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    const DWORD chain_errors = chain->TrustStatus.dwErrorStatus;
    DWORD error = ChainError(chain_errors & ~kRevocationUnknown);
    if (error == 0) {
        // The name is that of the URL: the one the user's configuration asked for.
        HTTPSPolicyCallbackData ssl{};
        ssl.cbStruct = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = (chain_errors & kRevocationUnknown) != 0 ? kIgnoreRevocation : 0;
        ssl.pwszServerName = const_cast<wchar_t*>(host);
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS result{};
        result.cbSize = sizeof result;
        error = system.verify_policy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)
                    ? result.dwError
                    : static_cast<DWORD>(SEC_E_CERT_UNKNOWN);
    }
    return static_cast<SECURITY_STATUS>(error);
}

TlsChannel::TlsChannel(const TlsSystem& system) noexcept : system_(system) {}

TlsChannel::~TlsChannel() {
    Release();
}

void TlsChannel::Release() noexcept {
    if (have_context_) {
        system_.sspi->DeleteSecurityContext(&context_);
        have_context_ = false;
    }
    established_ = false;
}

bool TlsChannel::Handshake(TlsTransport& transport, const wchar_t* host) noexcept {
    Release();
    closed_ = false;
    received_start_ = received_length_ = 0;
    plain_offset_ = plain_length_ = 0;
    if (system_.sspi == nullptr || system_.verify == nullptr || host == nullptr) {
        status_ = SEC_E_SECPKG_NOT_FOUND;
        return false;
    }
    try {
        host_ = host;
    } catch (...) {
        status_ = SEC_E_INSUFFICIENT_MEMORY;
        return false;
    }
    if (!received_) {
        received_.reset(new (std::nothrow) BYTE[kTlsReceiveCapacity]);
        plain_.reset(new (std::nothrow) BYTE[kTlsMaxRecordBytes]);
    }
    if (!received_ || !plain_) {
        status_ = SEC_E_INSUFFICIENT_MEMORY;
        return false;
    }
    if (system_.credentials == nullptr || !system_.credentials->Valid()) {
        status_ =
            system_.credentials != nullptr ? system_.credentials->Status() : SEC_E_NO_CREDENTIALS;
        return false;
    }
    if (!RunHandshake(transport, host_.c_str(), true)) {
        return false;
    }
    status_ = system_.sspi->QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status_ != SEC_E_OK) {
        return false;
    }
    // A record's parts as the provider sizes them; nothing near these bounds is real.
    if (sizes_.cbMaximumMessage == 0 || sizes_.cbMaximumMessage > 65536 || sizes_.cbHeader > 4096 ||
        sizes_.cbTrailer > 4096) {
        status_ = SEC_E_INVALID_TOKEN;
        return false;
    }
    const DWORD capacity = sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer;
    if (record_capacity_ < capacity) {
        record_.reset(new (std::nothrow) BYTE[capacity]);
        record_capacity_ = record_ ? capacity : 0;
        if (!record_) {
            status_ = SEC_E_INSUFFICIENT_MEMORY;
            return false;
        }
    }
    // Resumed or not, the session's certificate is checked against this host: the
    // provider may have cached it for another name or from a refused connection.
    status_ = system_.verify(system_, &context_, host_.c_str());
    if (status_ != SEC_E_OK) {
        ForgetSession();
        return false;
    }
    established_ = true;
    return true;
}

void TlsChannel::ForgetSession() noexcept {
    if (!have_context_ || system_.sspi->ApplyControlToken == nullptr) {
        return;
    }
    SCHANNEL_SESSION_TOKEN token{SCHANNEL_SESSION, SSL_SESSION_DISABLE_RECONNECTS};
    SecBuffer buffer{sizeof token, SECBUFFER_TOKEN, &token};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &buffer};
    // A provider that cannot do it still checks the next connection like this one.
    static_cast<void>(system_.sspi->ApplyControlToken(&context_, &description));
}

bool TlsChannel::ReceiveMore(TlsTransport& transport) noexcept {
    if (received_start_ != 0) {
        std::memmove(received_.get(), received_.get() + received_start_, received_length_);
        received_start_ = 0;
    }
    if (received_length_ >= kTlsReceiveCapacity) {
        status_ = SEC_E_BUFFER_TOO_SMALL;  // no record is that long
        return false;
    }
    DWORD count = kTlsReceiveCapacity - received_length_;
    const DWORD asked = count;
    if (!transport.ReceiveSome(received_.get() + received_length_, &count) || count > asked) {
        status_ = kTlsTransportFailed;
        return false;
    }
    if (count == 0) {
        status_ = kTlsTruncated;
        return false;
    }
    received_length_ += count;
    return true;
}

void TlsChannel::KeepExtra(const SecBuffer* extra) noexcept {
    // The unused bytes are always the last ones given; the provider does not always
    // say where they are, only how many.
    const DWORD count =
        extra != nullptr && extra->cbBuffer <= received_length_ ? extra->cbBuffer : 0;
    received_start_ = count != 0 ? received_start_ + received_length_ - count : 0;
    received_length_ = count;
}

bool TlsChannel::SendToken(TlsTransport& transport, SecBuffer& token) noexcept {
    bool ok = true;
    if (token.pvBuffer != nullptr) {
        if (token.cbBuffer != 0) {
            ok = transport.SendAll(static_cast<const BYTE*>(token.pvBuffer), token.cbBuffer);
        }
        system_.sspi->FreeContextBuffer(token.pvBuffer);
        token.pvBuffer = nullptr;
    }
    return ok;
}

bool TlsChannel::RunHandshake(TlsTransport& transport, const wchar_t* host, bool initial) noexcept {
    bool first = initial;
    bool need_input = !initial && received_length_ == 0;
    for (int step = 0; step < kMaxHandshakeSteps; ++step) {
        if (need_input && !ReceiveMore(transport)) {
            return false;
        }
        SecBuffer in[2] = {{received_length_, SECBUFFER_TOKEN, received_.get() + received_start_},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc in_description{SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc out_description{SECBUFFER_VERSION, 1, out};
        ULONG attributes = 0;
        // The host goes out as the server name (SNI).
        status_ = system_.sspi->InitializeSecurityContextW(
            system_.credentials->Handle(), first ? nullptr : &context_, const_cast<wchar_t*>(host),
            kContextFlags, 0, 0, first ? nullptr : &in_description, 0, &context_, &out_description,
            &attributes, nullptr);
        if (first && !FAILED(status_)) {
            have_context_ = true;
        }
        if (status_ == SEC_E_INCOMPLETE_MESSAGE) {
            // A record split across receives: wait for the rest of it.
            if (!SendToken(transport, out[0])) {
                status_ = kTlsTransportFailed;
                return false;
            }
            need_input = true;
            continue;
        }
        const SECURITY_STATUS outcome = status_;
        // A token goes out even with a failure: it is the alert that tells the server.
        if (!SendToken(transport, out[0]) && !FAILED(outcome)) {
            status_ = kTlsTransportFailed;
            return false;
        }
        if (outcome == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate; we have none to give.
            first = false;
            need_input = false;
            continue;
        }
        if (outcome != SEC_E_OK && outcome != SEC_I_CONTINUE_NEEDED) {
            return false;
        }
        if (!first) {
            KeepExtra(in[1].BufferType == SECBUFFER_EXTRA ? &in[1] : nullptr);
        }
        first = false;
        if (outcome == SEC_E_OK) {
            return true;
        }
        need_input = received_length_ == 0;
    }
    status_ = SEC_E_INVALID_TOKEN;
    return false;
}

bool TlsChannel::Read(TlsTransport& transport, BYTE* buffer, DWORD* length) noexcept {
    const DWORD capacity = *length;
    DWORD delivered = 0;
    *length = 0;
    for (;;) {
        if (plain_offset_ < plain_length_) {
            const DWORD count = std::min(capacity - delivered, plain_length_ - plain_offset_);
            std::memcpy(buffer + delivered, plain_.get() + plain_offset_, count);
            plain_offset_ += count;
            delivered += count;
            *length = delivered;
        }
        if (delivered == capacity) {
            return true;
        }
        if (!established_) {
            return delivered != 0;  // a failure after some bytes shows on the next call
        }
        if (closed_) {
            return true;  // the end of the stream, as often as asked
        }
        if (received_length_ == 0 || status_ == SEC_E_INCOMPLETE_MESSAGE) {
            if (delivered != 0) {
                return true;  // no wait for more while there is something to give
            }
            if (!ReceiveMore(transport)) {
                if (status_ == kTlsTruncated && received_length_ == 0) {
                    closed_ = true;  // ended between records
                    continue;
                }
                established_ = false;
                return false;
            }
        }
        BYTE* const begin = received_.get() + received_start_;
        const BYTE* const end = begin + received_length_;
        SecBuffer buffers[4] = {{received_length_, SECBUFFER_DATA, begin},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        status_ = system_.sspi->DecryptMessage(&context_, &description, 0, nullptr);
        if (status_ == SEC_E_INCOMPLETE_MESSAGE) {
            continue;  // the record is not all here yet
        }
        if (status_ != SEC_E_OK && status_ != SEC_I_RENEGOTIATE &&
            status_ != SEC_I_CONTEXT_EXPIRED) {
            established_ = false;
            continue;
        }
        const SecBuffer* extra = nullptr;
        plain_offset_ = plain_length_ = 0;
        for (const SecBuffer& piece : buffers) {
            if (piece.BufferType == SECBUFFER_EXTRA) {
                extra = &piece;
            } else if (piece.BufferType == SECBUFFER_DATA && piece.cbBuffer != 0) {
                // Decrypted in place: it must lie inside what was given.
                const BYTE* data = static_cast<const BYTE*>(piece.pvBuffer);
                if (data < begin || data > end || piece.cbBuffer > kTlsMaxRecordBytes ||
                    piece.cbBuffer > static_cast<size_t>(end - data)) {
                    status_ = SEC_E_INVALID_TOKEN;
                    established_ = false;
                    break;
                }
                if (piece.cbBuffer <= capacity - delivered) {
                    // Room for all of it: straight to the caller, one copy fewer.
                    std::memcpy(buffer + delivered, data, piece.cbBuffer);
                    delivered += piece.cbBuffer;
                    *length = delivered;
                } else {
                    std::memcpy(plain_.get(), data, piece.cbBuffer);
                    plain_length_ = piece.cbBuffer;
                }
            }
        }
        if (!established_) {
            continue;
        }
        const SECURITY_STATUS outcome = status_;
        KeepExtra(extra);
        status_ = SEC_E_OK;
        if (outcome == SEC_I_CONTEXT_EXPIRED) {
            closed_ = true;  // close notify
        } else if (outcome == SEC_I_RENEGOTIATE) {
            // New handshake messages (TLS 1.3 session tickets, a key update): the
            // context takes them, after which records go on.
            if (!RunHandshake(transport, host_.c_str(), false)) {
                established_ = false;
            }
        }
    }
}

bool TlsChannel::Write(TlsTransport& transport, const BYTE* bytes, DWORD length) noexcept {
    if (!established_ || closed_) {
        return false;
    }
    while (length > 0) {
        const DWORD count = std::min(length, sizes_.cbMaximumMessage);
        BYTE* record = record_.get();
        std::memcpy(record + sizes_.cbHeader, bytes, count);
        SecBuffer buffers[4] = {
            {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
            {count, SECBUFFER_DATA, record + sizes_.cbHeader},
            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + count},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        status_ = system_.sspi->EncryptMessage(&context_, 0, &description, 0);
        if (status_ != SEC_E_OK) {
            established_ = false;
            return false;
        }
        // Header, data and trailer stay where they were put, one after the other.
        const uint64_t total =
            uint64_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (buffers[0].cbBuffer != sizes_.cbHeader || buffers[1].cbBuffer != count ||
            total > record_capacity_) {
            status_ = SEC_E_INVALID_TOKEN;
            established_ = false;
            return false;
        }
        if (!transport.SendAll(record, static_cast<DWORD>(total))) {
            status_ = kTlsTransportFailed;
            established_ = false;
            return false;
        }
        bytes += count;
        length -= count;
    }
    return true;
}

}  // namespace qv
