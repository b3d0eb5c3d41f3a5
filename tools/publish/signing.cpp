#include "tools/publish/signing.h"

#include <windows.h>

#include "tools/publish/publisher.h"
#include "tools/publish/release.h"
#include "trust/hex.h"
#include "win/file_system.h"
#include "win/path.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv::publish {

namespace {

constexpr char kPrivateKeyTag[] = "qvupdate-private-key-1 ecdsa-p256 ";
constexpr size_t kPrivateKeyTagLength = sizeof(kPrivateKeyTag) - 1;
constexpr size_t kScalarHexLength = 2 * sizeof(EcdsaPrivateScalar);
constexpr size_t kPointHexLength = 2 * sizeof(EcdsaPublicPoint);
// Larger than either key file can be.
constexpr uint64_t kMaxKeyFileSize = 1024;

std::wstring Quote(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// Key material in memory is wiped when it goes.
class WipedString {
public:
    WipedString() = default;
    ~WipedString() { SecureZeroMemory(text.data(), text.size()); }
    WipedString(const WipedString&) = delete;
    WipedString& operator=(const WipedString&) = delete;
    std::string text;
};

// The one line of a key file without its line end (LF, or CRLF as an editor saves it).
bool SingleLine(std::string_view bytes, std::string_view& line) {
    if (bytes.size() >= 2 && bytes.substr(bytes.size() - 2) == "\r\n") {
        bytes.remove_suffix(2);
    } else if (!bytes.empty() && bytes.back() == '\n') {
        bytes.remove_suffix(1);
    }
    line = bytes;
    return line.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

bool LoadPrivateKey(const std::wstring& path, EcdsaKeyPair& key, std::wstring& error) {
    WipedString bytes;
    if (!ReadSmallFile(path, kMaxKeyFileSize, bytes.text, nullptr)) {
        error = L"cannot read the private key file " + Quote(path);
        return false;
    }
    std::string_view line;
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint point{};
    const bool parsed =
        SingleLine(bytes.text, line) &&
        line.size() == kPrivateKeyTagLength + kScalarHexLength + 1 + kPointHexLength &&
        line.substr(0, kPrivateKeyTagLength) == kPrivateKeyTag &&
        line[kPrivateKeyTagLength + kScalarHexLength] == ' ' &&
        ParseHex(line.substr(kPrivateKeyTagLength, kScalarHexLength), scalar.data(),
                 scalar.size()) &&
        ParseHex(line.substr(kPrivateKeyTagLength + kScalarHexLength + 1), point.data(),
                 point.size());
    const bool imported = parsed && key.Import(scalar, point);
    SecureZeroMemory(scalar.data(), scalar.size());
    if (!parsed) {
        error = Quote(path) + L" is no private key file of qvpublish keygen";
        return false;
    }
    if (!imported) {
        error = L"the private key in " + Quote(path) +
                L" does not fit its public key, or Windows cannot sign with ECDSA P-256";
        return false;
    }
    return true;
}

bool LoadPublicKey(const std::wstring& path, EcdsaPublicKey& key, std::wstring& error) {
    std::string bytes;
    std::string_view line;
    EcdsaPublicPoint point{};
    if (!ReadSmallFile(path, kMaxKeyFileSize, bytes, nullptr)) {
        error = L"cannot read the public key file " + Quote(path);
        return false;
    }
    if (!SingleLine(bytes, line) || !ParsePublicKeyText(line, point)) {
        error = Quote(path) + L" holds no public key of the form ecdsa-p256:<128 hex digits>";
        return false;
    }
    if (!key.Import(point)) {
        error = L"Windows refuses the public key in " + Quote(path) +
                L", or cannot verify ECDSA P-256 here";
        return false;
    }
    return true;
}

int GenerateKeys(const KeygenOptions& options, Log& log) {
    for (const std::wstring* path : {&options.private_file, &options.public_file}) {
        if (PathExists(path->c_str())) {
            log.Error(Quote(*path) + L" exists; keygen never overwrites a key");
            return kExitUsage;
        }
    }
    for (const std::wstring* path : {&options.private_file, &options.public_file}) {
        std::wstring parent = *path;
        if (RemoveLastComponent(parent) && !parent.empty() &&
            !CreateDirectoryTree(parent.c_str())) {
            log.Error(L"cannot create the folder for " + Quote(*path));
            return kExitFailed;
        }
    }
    EcdsaKeyPair pair;
    EcdsaPrivateScalar scalar{};
    EcdsaPublicPoint point{};
    if (!pair.Generate() || !pair.Export(scalar, point)) {
        log.Error(L"Windows cannot make an ECDSA P-256 key here");
        return kExitFailed;
    }
    WipedString private_text;
    private_text.text = kPrivateKeyTag + ToHex(scalar.data(), scalar.size()) + " " +
                        ToHex(point.data(), point.size()) + "\n";
    SecureZeroMemory(scalar.data(), scalar.size());
    const std::string public_text = PublicKeyText(point);
    if (!WriteNewFile(options.private_file, private_text.text)) {
        log.Error(L"cannot write " + Quote(options.private_file) + L" (Windows error " +
                  std::to_wstring(GetLastError()) + L")");
        return kExitFailed;
    }
    if (!WriteNewFile(options.public_file, public_text + "\n")) {
        const DWORD code = GetLastError();
        // Half a pair is no pair: the private key alone would sign for no installation.
        DeleteFileW(options.private_file.c_str());
        log.Error(L"cannot write " + Quote(options.public_file) + L" (Windows error " +
                  std::to_wstring(code) + L")");
        return kExitFailed;
    }
    const std::wstring key_text = DecodeText(public_text);
    log.Info(L"private key: " + options.private_file +
             L" (keep it off the update server and the build machines)");
    log.Info(L"public key:  " + options.public_file);
    log.Info(L"installations trust releases signed with it when their cfg.ini has:");
    log.Info(L"[security]");
    log.Info(L"release_keys=" + key_text);
    return kExitOk;
}

}  // namespace qv::publish
