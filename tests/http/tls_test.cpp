// The TLS record loop against a scripted provider: records of a made-up cipher (the
// TLS record header, payload XOR 0x5A) go through the same SSPI calls, statuses and
// buffer types as SChannel's, so every split of the server's bytes across receives
// can be fed and checked without a server.

#include "http/tls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qv {
namespace {

constexpr BYTE kHandshake = 0x16;
constexpr BYTE kAlert = 0x15;
constexpr BYTE kData = 0x17;
constexpr DWORD kMaxMessage = 16;  // small, so that writes span records
constexpr DWORD kTrailer = 3;

std::string Record(BYTE type, const std::string& payload, bool cipher = false) {
    std::string record{static_cast<char>(type), 3, 3, static_cast<char>(payload.size() >> 8),
                       static_cast<char>(payload.size() & 0xFF)};
    for (const char c : payload) {
        record.push_back(cipher ? static_cast<char>(c ^ 0x5A) : c);
    }
    return record;
}
std::string DataRecord(const std::string& text) {
    return Record(kData, text, true);
}

// The length of the record at the start of `bytes`, or 0 while it is incomplete. A
// version byte of 0xFF stands for a stream the provider keeps asking more of, to
// show that the channel's buffer stays bounded whatever a provider says.
size_t RecordLength(const BYTE* bytes, size_t length) {
    if (length < 5 || bytes[2] == 0xFF) {
        return 0;
    }
    const size_t total = 5 + ((size_t{bytes[3]} << 8) | bytes[4]);
    return length >= total ? total : 0;
}

struct FakeState {
    SECURITY_STATUS verify_result = SEC_E_OK;
    SECURITY_STATUS acquire_result = SEC_E_OK;
    std::wstring verified_host;
    std::wstring target;
    int credentials = 0;  // held now
    int acquired = 0;     // ever
    int contexts = 0;
    std::vector<PCredHandle> used_credentials;  // one per handshake
    std::vector<DWORD> control_tokens;          // the session tokens applied
};
FakeState state;

SECURITY_STATUS SEC_ENTRY Acquire(SEC_WCHAR*, SEC_WCHAR*, unsigned long, void*, void*,
                                  SEC_GET_KEY_FN, void*, PCredHandle, PTimeStamp) {
    if (state.acquire_result != SEC_E_OK) {
        return state.acquire_result;
    }
    ++state.credentials;
    ++state.acquired;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY FreeCredentials(PCredHandle) {
    --state.credentials;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY ApplyControl(PCtxtHandle, PSecBufferDesc input) {
    const SecBuffer& buffer = input->pBuffers[0];
    const auto* token = static_cast<const SCHANNEL_SESSION_TOKEN*>(buffer.pvBuffer);
    if (input->cBuffers == 1 && buffer.BufferType == SECBUFFER_TOKEN &&
        buffer.cbBuffer == sizeof *token && token->dwTokenType == SCHANNEL_SESSION) {
        state.control_tokens.push_back(token->dwFlags);
    }
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY DeleteContext(PCtxtHandle) {
    --state.contexts;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY FreeBuffer(PVOID buffer) {
    delete[] static_cast<BYTE*>(buffer);
    return SEC_E_OK;
}
void Output(SecBufferDesc* out, const std::string& bytes) {
    BYTE* copy = new BYTE[bytes.size()];
    std::memcpy(copy, bytes.data(), bytes.size());
    out->pBuffers[0].pvBuffer = copy;
    out->pBuffers[0].cbBuffer = static_cast<unsigned long>(bytes.size());
}

// The handshake: the client says "hello"; the server's "more" asks for another record,
// "done" completes it (the client answers "finished"), "ticket" is a message after it.
SECURITY_STATUS SEC_ENTRY Initialize(PCredHandle credentials, PCtxtHandle context,
                                     SEC_WCHAR* target, unsigned long, unsigned long, unsigned long,
                                     PSecBufferDesc in, unsigned long, PCtxtHandle,
                                     PSecBufferDesc out, unsigned long*, PTimeStamp) {
    if (context == nullptr) {
        ++state.contexts;
        state.used_credentials.push_back(credentials);
        state.target = target;
        Output(out, Record(kHandshake, "hello"));
        return SEC_I_CONTINUE_NEEDED;
    }
    SecBuffer* input = &in->pBuffers[0];
    const auto* bytes = static_cast<const BYTE*>(input->pvBuffer);
    if (input->cbBuffer > 0 && bytes[0] != kHandshake && bytes[0] != kAlert) {
        return SEC_E_ILLEGAL_MESSAGE;  // not a record a handshake can hold
    }
    const size_t length = RecordLength(bytes, input->cbBuffer);
    if (length == 0) {
        in->pBuffers[1].BufferType = SECBUFFER_MISSING;
        return SEC_E_INCOMPLETE_MESSAGE;
    }
    const std::string payload(reinterpret_cast<const char*>(bytes) + 5, length - 5);
    if (length < input->cbBuffer) {
        in->pBuffers[1].BufferType = SECBUFFER_EXTRA;
        in->pBuffers[1].cbBuffer = static_cast<unsigned long>(input->cbBuffer - length);
    }
    if (payload == "more") {
        return SEC_I_CONTINUE_NEEDED;
    }
    if (payload == "done") {
        Output(out, Record(kHandshake, "finished"));
        return SEC_E_OK;
    }
    return payload == "ticket" ? SEC_E_OK : SEC_E_ILLEGAL_MESSAGE;
}

SECURITY_STATUS SEC_ENTRY Query(PCtxtHandle, unsigned long attribute, void* value) {
    if (attribute != SECPKG_ATTR_STREAM_SIZES) {
        return SEC_E_UNSUPPORTED_FUNCTION;
    }
    auto* sizes = static_cast<SecPkgContext_StreamSizes*>(value);
    *sizes = SecPkgContext_StreamSizes{5, kTrailer, kMaxMessage, 4, 1};
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY Decrypt(PCtxtHandle, PSecBufferDesc message, unsigned long,
                                  unsigned long*) {
    SecBuffer* buffers = message->pBuffers;
    auto* bytes = static_cast<BYTE*>(buffers[0].pvBuffer);
    const size_t given = buffers[0].cbBuffer;
    const size_t length = RecordLength(bytes, given);
    if (length == 0) {
        buffers[0].BufferType = SECBUFFER_MISSING;
        buffers[0].cbBuffer = 1;
        return SEC_E_INCOMPLETE_MESSAGE;
    }
    if (bytes[0] == kHandshake) {
        // Left whole for the handshake, with everything after it.
        buffers[0].cbBuffer = 0;
        buffers[1] = {static_cast<unsigned long>(given), SECBUFFER_EXTRA, bytes};
        return SEC_I_RENEGOTIATE;
    }
    for (size_t i = 5; i < length; ++i) {
        bytes[i] ^= 0x5A;
    }
    buffers[0] = {5, SECBUFFER_STREAM_HEADER, bytes};
    buffers[1] = {static_cast<unsigned long>(length - 5), SECBUFFER_DATA, bytes + 5};
    buffers[2] = {0, SECBUFFER_STREAM_TRAILER, bytes + length};
    if (length < given) {
        buffers[3] = {static_cast<unsigned long>(given - length), SECBUFFER_EXTRA, bytes + length};
    }
    if (bytes[0] == kAlert) {
        buffers[1].cbBuffer = 0;
        return SEC_I_CONTEXT_EXPIRED;
    }
    return bytes[0] == kData ? SEC_E_OK : SEC_E_DECRYPT_FAILURE;
}

SECURITY_STATUS SEC_ENTRY Encrypt(PCtxtHandle, unsigned long, PSecBufferDesc message,
                                  unsigned long) {
    SecBuffer* buffers = message->pBuffers;
    auto* header = static_cast<BYTE*>(buffers[0].pvBuffer);
    auto* data = static_cast<BYTE*>(buffers[1].pvBuffer);
    const std::string head =
        Record(kData, std::string(buffers[1].cbBuffer, 'x'), true).substr(0, 5);
    std::memcpy(header, head.data(), 5);
    for (unsigned long i = 0; i < buffers[1].cbBuffer; ++i) {
        data[i] ^= 0x5A;
    }
    std::memcpy(buffers[2].pvBuffer, "end", kTrailer);
    return SEC_E_OK;
}

SECURITY_STATUS FakeVerify(const TlsSystem&, CtxtHandle*, const wchar_t* host) {
    state.verified_host = host;
    return state.verify_result;
}

SecurityFunctionTableW FakeTable() {
    SecurityFunctionTableW table{};
    table.AcquireCredentialsHandleW = &Acquire;
    table.FreeCredentialsHandle = &FreeCredentials;
    table.InitializeSecurityContextW = &Initialize;
    table.DeleteSecurityContext = &DeleteContext;
    table.ApplyControlToken = &ApplyControl;
    table.QueryContextAttributesW = &Query;
    table.FreeContextBuffer = &FreeBuffer;
    table.EncryptMessage = &Encrypt;
    table.DecryptMessage = &Decrypt;
    return table;
}

// Hands out the server's bytes in the given pieces, then the end of the stream.
class ScriptedTransport : public TlsTransport {
public:
    std::vector<std::string> pieces;
    std::string sent;
    bool fail_receive = false;

    bool SendAll(const BYTE* bytes, DWORD length) noexcept override {
        sent.append(reinterpret_cast<const char*>(bytes), length);
        return true;
    }
    bool ReceiveSome(BYTE* buffer, DWORD* length) noexcept override {
        if (fail_receive) {
            return false;
        }
        if (next_ == pieces.size()) {
            *length = 0;
            return true;
        }
        std::string& piece = pieces[next_];
        const size_t count = std::min<size_t>(*length, piece.size());
        std::memcpy(buffer, piece.data(), count);
        piece.erase(0, count);
        if (piece.empty()) {
            ++next_;
        }
        *length = static_cast<DWORD>(count);
        return true;
    }

private:
    size_t next_ = 0;
};

class TlsLoop : public ::testing::Test {
protected:
    void SetUp() override {
        state = FakeState();
        table_ = FakeTable();
        system_.sspi = &table_;
        system_.verify = &FakeVerify;
        credentials_.emplace(table_);
        system_.credentials = &*credentials_;
    }
    void TearDown() override {
        credentials_.reset();
        EXPECT_EQ(state.credentials, 0);
        EXPECT_EQ(state.contexts, 0);
    }
    // Everything read until the end of the session, `capacity` bytes at a time; "<failed>"
    // appended when a read fails.
    static std::string ReadAll(TlsChannel& channel, TlsTransport& transport, DWORD capacity) {
        std::string text;
        std::vector<BYTE> buffer(capacity);
        for (int reads = 0; reads < 10000; ++reads) {
            DWORD length = capacity;
            if (!channel.Read(transport, buffer.data(), &length)) {
                return text + "<failed>";
            }
            if (length == 0) {
                return text;
            }
            text.append(reinterpret_cast<const char*>(buffer.data()), length);
        }
        return text + "<endless>";
    }

    SecurityFunctionTableW table_{};
    std::optional<TlsCredentials> credentials_;
    TlsSystem system_;
};

const std::string kServerBytes =
    Record(kHandshake, "more") + Record(kHandshake, "done") + DataRecord("Hello, ") +
    DataRecord("world") + Record(kHandshake, "ticket") + DataRecord("!") + Record(kAlert, "bye");
const std::string kClientBytes = Record(kHandshake, "hello") + Record(kHandshake, "finished");

TEST_F(TlsLoop, EverySplitOfTheServersBytesGivesTheSameSession) {
    std::vector<std::vector<std::string>> splits;
    for (size_t at = 1; at < kServerBytes.size(); ++at) {
        splits.push_back({kServerBytes.substr(0, at), kServerBytes.substr(at)});
    }
    std::vector<std::string> bytewise;
    for (const char c : kServerBytes) {
        bytewise.emplace_back(1, c);
    }
    splits.push_back(bytewise);
    for (const auto& split : splits) {
        // Records kept for later reads, straight to the caller, and both in one read.
        for (const DWORD capacity : {DWORD{3}, DWORD{6}, DWORD{4096}}) {
            SCOPED_TRACE(testing::Message() << split[0].size() << " first, read " << capacity);
            ScriptedTransport transport;
            transport.pieces = split;
            TlsChannel channel(system_);
            ASSERT_TRUE(channel.Handshake(transport, L"update.example")) << channel.Status();
            EXPECT_EQ(transport.sent, kClientBytes);
            EXPECT_EQ(ReadAll(channel, transport, capacity), "Hello, world!");
            // Closed by the server: the end, as often as asked, and no more writing.
            BYTE byte = 0;
            DWORD length = 1;
            EXPECT_TRUE(channel.Read(transport, &byte, &length));
            EXPECT_EQ(length, 0u);
            EXPECT_FALSE(channel.Write(transport, &byte, 1));
        }
    }
    EXPECT_EQ(state.target, L"update.example");  // the server name the hello carries
    EXPECT_EQ(state.verified_host, L"update.example");
}

TEST_F(TlsLoop, WritesGoOutInRecordsOfTheLargestAllowedSize) {
    ScriptedTransport transport;
    transport.pieces = {Record(kHandshake, "done")};
    TlsChannel channel(system_);
    ASSERT_TRUE(channel.Handshake(transport, L"update.example"));
    transport.sent.clear();
    const std::string text = "GET /up1/ver.dat HTTP/1.1\r\nHost: a\r\n\r\n";  // 38 bytes
    ASSERT_TRUE(
        channel.Write(transport, reinterpret_cast<const BYTE*>(text.data()), DWORD(text.size())));
    std::string expected;
    for (size_t at = 0; at < text.size(); at += kMaxMessage) {
        expected += DataRecord(text.substr(at, kMaxMessage)) + "end";
    }
    EXPECT_EQ(transport.sent, expected);
}

TEST_F(TlsLoop, OneReadTakesEveryWholeRecordReceivedAndWaitsOnlyWhenItHasNothing) {
    const std::string last = DataRecord("!");
    ScriptedTransport transport;
    transport.pieces = {Record(kHandshake, "done") + DataRecord("Hello, ") + DataRecord("world") +
                            last.substr(0, 4),
                        last.substr(4)};
    TlsChannel channel(system_);
    ASSERT_TRUE(channel.Handshake(transport, L"update.example"));
    BYTE buffer[64];
    DWORD length = sizeof buffer;
    ASSERT_TRUE(channel.Read(transport, buffer, &length));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "Hello, world");
    length = sizeof buffer;
    ASSERT_TRUE(channel.Read(transport, buffer, &length));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "!");
}

TEST_F(TlsLoop, BrokenSessionsFailAndNeverHandOutPlainBytes) {
    const std::string done = Record(kHandshake, "done");
    struct Case {
        const char* name;
        std::string server;
        SECURITY_STATUS verify;
        bool handshake;          // the handshake succeeds
        SECURITY_STATUS status;  // the status after the failing step
        std::string read;        // what reading gives
    };
    const Case cases[] = {
        {"certificate refused", done + DataRecord("x"), CERT_E_UNTRUSTEDROOT, false,
         CERT_E_UNTRUSTEDROOT, ""},
        {"plain text where a record was due", "HTTP/1.1 400 Bad Request\r\n\r\n", SEC_E_OK, false,
         SEC_E_ILLEGAL_MESSAGE, ""},
        {"handshake ends inside a record", done.substr(0, 7), SEC_E_OK, false, kTlsTruncated, ""},
        {"a record longer than any allowed",
         std::string("\x16\x03\xff\x00\x10", 5) + std::string(kTlsReceiveCapacity, 'a'), SEC_E_OK,
         false, SEC_E_BUFFER_TOO_SMALL, ""},
        {"ends inside a data record", done + DataRecord("abc") + DataRecord("defg").substr(0, 6),
         SEC_E_OK, true, kTlsTruncated, "abc<failed>"},
        {"ends between records without close notify", done + DataRecord("abc"), SEC_E_OK, true,
         kTlsTruncated, "abc"},
        {"a record that does not decrypt", done + Record(0x42, "zz"), SEC_E_OK, true,
         SEC_E_DECRYPT_FAILURE, "<failed>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state.verify_result = c.verify;
        ScriptedTransport transport;
        transport.pieces = {c.server};
        TlsChannel channel(system_);
        EXPECT_EQ(channel.Handshake(transport, L"update.example"), c.handshake);
        if (c.handshake) {
            EXPECT_EQ(ReadAll(channel, transport, 4096), c.read);
        } else {
            BYTE byte = 0;
            DWORD length = 1;
            EXPECT_FALSE(channel.Read(transport, &byte, &length));
            EXPECT_EQ(length, 0u);
            EXPECT_FALSE(channel.Write(transport, &byte, 1));
        }
        EXPECT_EQ(channel.Status(), c.status);
    }
}

TEST_F(TlsLoop, AFailingTransportFailsTheHandshakeAndTheRead) {
    ScriptedTransport transport;
    transport.fail_receive = true;
    TlsChannel channel(system_);
    EXPECT_FALSE(channel.Handshake(transport, L"update.example"));
    EXPECT_EQ(channel.Status(), kTlsTransportFailed);

    ScriptedTransport later;
    later.pieces = {Record(kHandshake, "done")};
    TlsChannel second(system_);
    ASSERT_TRUE(second.Handshake(later, L"update.example"));
    later.fail_receive = true;
    BYTE byte = 0;
    DWORD length = 1;
    EXPECT_FALSE(second.Read(later, &byte, &length));
    EXPECT_EQ(second.Status(), kTlsTransportFailed);
}

TEST_F(TlsLoop, ChannelsShareOneCredentialsHandleThatOutlivesThem) {
    for (int i = 0; i < 3; ++i) {
        ScriptedTransport transport;
        transport.pieces = {Record(kHandshake, "done")};
        TlsChannel channel(system_);
        ASSERT_TRUE(channel.Handshake(transport, L"update.example"));
    }
    EXPECT_EQ(state.acquired, 1);
    EXPECT_EQ(state.credentials, 1);  // still held for the next connection
    EXPECT_EQ(state.used_credentials, std::vector<PCredHandle>(3, credentials_->Handle()));
    EXPECT_TRUE(state.control_tokens.empty());  // good sessions stay resumable
}

TEST_F(TlsLoop, EveryConnectionChecksItsCertificateAndARefusedSessionIsForgotten) {
    // The second server answers as to a resumed session: no "more", at once "done".
    state.verify_result = CERT_E_CN_NO_MATCH;
    for (const char* server : {"more", "done"}) {
        ScriptedTransport transport;
        transport.pieces = {Record(kHandshake, server) + Record(kHandshake, "done")};
        TlsChannel channel(system_);
        EXPECT_FALSE(channel.Handshake(transport, L"other.example"));
        EXPECT_EQ(channel.Status(), CERT_E_CN_NO_MATCH);
        EXPECT_EQ(state.verified_host, L"other.example");
        state.verified_host.clear();
    }
    EXPECT_EQ(state.control_tokens, std::vector<DWORD>(2, DWORD{SSL_SESSION_DISABLE_RECONNECTS}));
}

TEST_F(TlsLoop, WithoutCredentialsNothingIsSent) {
    credentials_.reset();
    state.acquire_result = SEC_E_NO_CREDENTIALS;
    credentials_.emplace(table_);
    EXPECT_FALSE(credentials_->Valid());
    TlsSystem without = system_;
    without.credentials = nullptr;
    for (const TlsSystem* system : {&system_, &without}) {
        ScriptedTransport transport;
        TlsChannel channel(*system);
        EXPECT_FALSE(channel.Handshake(transport, L"update.example"));
        EXPECT_EQ(channel.Status(), SEC_E_NO_CREDENTIALS);
        EXPECT_EQ(transport.sent, "");
    }
    EXPECT_EQ(state.contexts, 0);
}

TEST_F(TlsLoop, WithoutTheSystemsTlsNothingIsSent) {
    TlsSystem none;
    ScriptedTransport transport;
    TlsChannel channel(none);
    EXPECT_FALSE(channel.Handshake(transport, L"update.example"));
    EXPECT_EQ(channel.Status(), SEC_E_SECPKG_NOT_FOUND);
    EXPECT_EQ(transport.sent, "");
}

}  // namespace
}  // namespace qv
