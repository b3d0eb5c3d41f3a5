#pragma once
// release.dat: the signed manifest of one release. It binds the exact bytes of the
// server's ver.dat, a sequence number that only grows from release to release, an
// optional expiry, the hash and size of filelist.dat, and for every listed file the
// hash and size of what is served and of what is installed. UTF-8 text, LF line ends,
// every line in this order:
//
//   qvupdate-release 1
//   sequence 1718000000
//   expires 2026-01-01T00:00:00Z                      (optional)
//   version 312e302e302e32                            (ver.dat's bytes, hex)
//   filelist <sha256> <size>
//   file <served sha256> <served size> <installed sha256> <installed size> <name>
//   ...
//   signature ecdsa-p256 <r || s, hex>
//
// The signature covers every byte before its line; nothing may follow that line.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/ecdsa.h"
#include "trust/sha256.h"

namespace qv {

inline constexpr wchar_t kReleaseManifestName[] = L"release.dat";
// Bounds of what the reader takes at all.
inline constexpr size_t kMaxReleaseManifestSize = 16u << 20;
inline constexpr size_t kMaxSignedVersionSize = 4096;
// The largest file a manifest may sign: as large as the largest body the HTTP client
// accepts.
inline constexpr uint64_t kMaxSignedFileSize = 1ull << 30;

struct SignedFile {
    std::wstring name;  // as in filelist.dat: relative, backslash-separated
    Sha256Digest served_sha256 = {};
    uint64_t served_size = 0;
    Sha256Digest installed_sha256 = {};
    uint64_t installed_size = 0;
};

struct ReleaseManifest {
    uint64_t sequence = 0;
    std::optional<uint64_t> expires;  // seconds since 1970-01-01T00:00:00Z
    std::string version_bytes;        // exactly the server's ver.dat
    Sha256Digest file_list_sha256 = {};
    uint64_t file_list_size = 0;
    std::vector<SignedFile> files;  // in the order written

    // Filled by the reader: the signed prefix and its signature.
    size_t signed_length = 0;
    EcdsaSignature signature = {};

    // The entry for a name spelled exactly so; null when there is none.
    [[nodiscard]] const SignedFile* Find(const std::wstring& name) const noexcept;
    // True when it has an expiry at or before `now` (seconds since 1970).
    [[nodiscard]] bool ExpiredAt(uint64_t now) const noexcept;

    // Rebuilds the name index; the reader calls it, writers need not.
    void IndexNames();

private:
    std::map<std::wstring, size_t> index_;
};

// The text up to its signature line.
[[nodiscard]] std::string FormatManifestBody(const ReleaseManifest& manifest);
// The signature line that ends the file, LF included.
[[nodiscard]] std::string FormatSignatureLine(const EcdsaSignature& signature);

// Reads the form of a whole file, signature line included, without checking the
// signature. False for anything that is not exactly the form above, with a short
// reason in `problem` when given.
[[nodiscard]] bool ParseReleaseManifest(std::string_view bytes, ReleaseManifest& out,
                                        std::string* problem = nullptr) noexcept;

enum class ManifestCheck {
    kValid,
    kMalformed,     // not the form, or too large
    kBadSignature,  // no trusted key made the signature
    kUnavailable,   // CNG cannot hash or verify here
};

// A signed text (release.dat, delta.dat): its last line, which must end it, signs every
// byte before it. kValid when one of `keys` made the signature and the text is at most
// `max_size` bytes; nothing else of it is read.
[[nodiscard]] ManifestCheck CheckSignedText(std::string_view bytes, size_t max_size,
                                            const std::vector<EcdsaPublicKey>& keys) noexcept;
// The way in to a signed text: CheckSignedText, and only when that is kValid, `parse`
// (ParseReleaseManifest, ParseDeltaManifest) reads it into `out`; kMalformed when it
// does not read.
template <typename Manifest>
[[nodiscard]] ManifestCheck OpenSignedText(
    std::string_view bytes, size_t max_size, const std::vector<EcdsaPublicKey>& keys,
    bool (*parse)(std::string_view, Manifest&, std::string*) noexcept, Manifest& out) noexcept {
    // Nothing of the content is read before its signature is known to be good.
    const ManifestCheck check = CheckSignedText(bytes, max_size, keys);
    if (check != ManifestCheck::kValid) {
        return check;
    }
    return parse(bytes, out, nullptr) ? ManifestCheck::kValid : ManifestCheck::kMalformed;
}
// The fields of the signed texts' lines: exactly `count` non-empty fields separated by
// single spaces, the last one taking the rest of the line (a file name may hold spaces).
[[nodiscard]] bool SplitFields(std::string_view line, size_t count,
                               std::string_view* fields) noexcept;
// A SHA-256 as the lines write it: 64 lower-case hex digits.
[[nodiscard]] bool ParseDigest(std::string_view text, Sha256Digest& out) noexcept;
[[nodiscard]] std::string DigestText(const Sha256Digest& digest);
// True when `text` holds a byte no field may: a control character (CR and NUL
// included) other than the line end, or DEL.
[[nodiscard]] bool HasControlBytes(std::string_view text) noexcept;
// Takes the next whole line (without its LF) off the front of `body` and counts it in
// `number`; false when no whole line is left.
[[nodiscard]] bool NextBodyLine(std::string_view& body, std::string_view& line,
                                size_t& number) noexcept;
// Finds that signature line: false when the last line is not one.
[[nodiscard]] bool SplitSignatureLine(std::string_view bytes, size_t& signed_length,
                                      EcdsaSignature& signature) noexcept;

// The updater's one way in: the signature must come from one of `keys`; only then is
// the rest read. `out` is filled only when the result is kValid.
[[nodiscard]] ManifestCheck OpenReleaseManifest(std::string_view bytes,
                                                const std::vector<EcdsaPublicKey>& keys,
                                                ReleaseManifest& out) noexcept;

// A number as the manifest writes it: decimal digits only, no sign, no leading zero,
// at most UINT64_MAX.
[[nodiscard]] bool ParseManifestNumber(std::string_view text, uint64_t& out) noexcept;
// "YYYY-MM-DDTHH:MM:SSZ" to seconds since 1970 and back; years 1970 to 9999.
[[nodiscard]] bool ParseUtcTime(std::string_view text, uint64_t& seconds) noexcept;
[[nodiscard]] std::string FormatUtcTime(uint64_t seconds);
// The current UTC time in seconds since 1970.
[[nodiscard]] uint64_t CurrentUtcTime() noexcept;

}  // namespace qv
