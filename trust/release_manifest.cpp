#include "trust/release_manifest.h"

#include <windows.h>

#include <cstdio>
#include <set>

#include "trust/hex.h"
#include "win/decimal.h"
#include "win/path.h"
#include "win/text.h"

namespace qv {

namespace {

constexpr std::string_view kFormatLine = "qvupdate-release 1";
constexpr std::string_view kSignaturePrefix = "signature ecdsa-p256 ";
constexpr size_t kMaxDecimalDigits = 20;  // UINT64_MAX has 20
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr uint64_t kSecondsPerDay = 86400;

// Why a read failed, kept only when the caller asked.
class Problem {
public:
    explicit Problem(std::string* out) noexcept : out_(out) {}
    bool Fail(const char* text, size_t line = 0) {
        if (out_ != nullptr) {
            *out_ = line == 0 ? std::string(text) : "line " + std::to_string(line) + ": " + text;
        }
        return false;
    }

private:
    std::string* out_;
};

bool HasSpace(std::string_view text) noexcept {
    return text.find(' ') != std::string_view::npos;
}

bool ParseSize(std::string_view text, uint64_t& out) noexcept {
    return ParseManifestNumber(text, out) && out <= kMaxSignedFileSize;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
uint64_t DaysFromCivil(unsigned year, unsigned month, unsigned day) noexcept {
    const unsigned y = month <= 2 ? year - 1 : year;
    const unsigned era = y / 400;
    const unsigned year_of_era = y - era * 400;
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return static_cast<uint64_t>(era) * 146097 + day_of_era - 719468;
}

void CivilFromDays(uint64_t days, unsigned& year, unsigned& month, unsigned& day) noexcept {
    const uint64_t z = days + 719468;
    const uint64_t era = z / 146097;
    const unsigned day_of_era = static_cast<unsigned>(z - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned mp = (5 * day_of_year + 2) / 153;
    day = day_of_year - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<unsigned>(year_of_era + era * 400) + (month <= 2 ? 1 : 0);
}

bool IsLeapYear(unsigned year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) noexcept {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool ReadDigits(std::string_view text, size_t at, size_t count, unsigned& out) noexcept {
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        out = out * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

// A list name in UTF-8: valid, safe, short enough for the engine's paths.
bool ReadName(std::string_view bytes, std::wstring& out) {
    return FromCodePage(bytes, CP_UTF8, out, MB_ERR_INVALID_CHARS) && !out.empty() &&
           out.size() < MAX_PATH && IsSafeRelativeName(out);
}

// Names as Windows tells files apart: without regard to case.
struct NameLessNoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept {
        return LessNoCase(a, b);
    }
};

bool ParseBody(std::string_view body, ReleaseManifest& out, Problem& problem) {
    // Bytes that no field may hold: control characters, CR included, and DEL.
    if (HasControlBytes(body)) {
        return problem.Fail("a control character, CR or zero byte");
    }
    size_t number = 0;
    std::string_view line;
    auto next_line = [&]() { return NextBodyLine(body, line, number); };
    std::string_view fields[6];

    if (!next_line() || line != kFormatLine) {
        return problem.Fail("not a release manifest of format 1", 1);
    }
    if (!next_line() || !SplitFields(line, 2, fields) || fields[0] != "sequence" ||
        !ParseManifestNumber(fields[1], out.sequence)) {
        return problem.Fail("expected \"sequence\" and a number of at most 20 digits", number);
    }
    if (!next_line()) {
        return problem.Fail("truncated after the sequence");
    }
    if (line.substr(0, 8) == "expires ") {
        uint64_t expires = 0;
        if (!ParseUtcTime(line.substr(8), expires)) {
            return problem.Fail("expected an expiry time YYYY-MM-DDTHH:MM:SSZ", number);
        }
        out.expires = expires;
        if (!next_line()) {
            return problem.Fail("truncated after the expiry");
        }
    }
    if (!SplitFields(line, 2, fields) || fields[0] != "version" || HasSpace(fields[1]) ||
        fields[1].size() > 2 * kMaxSignedVersionSize || fields[1].size() % 2 != 0) {
        return problem.Fail("expected \"version\" and the bytes of ver.dat in hex", number);
    }
    out.version_bytes.assign(fields[1].size() / 2, '\0');
    if (!ParseHex(fields[1], reinterpret_cast<uint8_t*>(out.version_bytes.data()),
                  out.version_bytes.size())) {
        return problem.Fail("the version is not lowercase hex", number);
    }
    if (!next_line() || !SplitFields(line, 3, fields) || fields[0] != "filelist" ||
        HasSpace(fields[2]) || !ParseDigest(fields[1], out.file_list_sha256) ||
        !ParseManifestNumber(fields[2], out.file_list_size)) {
        return problem.Fail("expected \"filelist\", a SHA-256 and a size", number);
    }
    std::set<std::wstring, NameLessNoCase> names;
    while (next_line()) {
        if (line.substr(0, 10) == "signature ") {
            return problem.Fail("a second signature line", number);
        }
        if (!SplitFields(line, 6, fields) || fields[0] != "file") {
            return problem.Fail("expected a \"file\" line", number);
        }
        SignedFile file;
        if (!ParseDigest(fields[1], file.served_sha256) ||
            !ParseDigest(fields[3], file.installed_sha256)) {
            return problem.Fail("a SHA-256 that is not 64 lowercase hex digits", number);
        }
        if (!ParseSize(fields[2], file.served_size) || !ParseSize(fields[4], file.installed_size)) {
            return problem.Fail("a size that is no number of at most 1 GiB", number);
        }
        if (!ReadName(fields[5], file.name)) {
            return problem.Fail("a name the updater cannot install", number);
        }
        if (!names.insert(file.name).second) {
            return problem.Fail("a name listed twice", number);
        }
        out.files.push_back(std::move(file));
    }
    if (!body.empty()) {
        return problem.Fail("truncated: the last line has no line end");
    }
    return true;
}

}  // namespace

const SignedFile* ReleaseManifest::Find(const std::wstring& name) const noexcept {
    const auto found = index_.find(name);
    return found == index_.end() ? nullptr : &files[found->second];
}

bool ReleaseManifest::ExpiredAt(uint64_t now) const noexcept {
    return expires.has_value() && *expires <= now;
}

void ReleaseManifest::IndexNames() {
    index_.clear();
    for (size_t i = 0; i < files.size(); ++i) {
        index_.emplace(files[i].name, i);
    }
}

std::string FormatManifestBody(const ReleaseManifest& manifest) {
    std::string text(kFormatLine);
    text += "\nsequence " + std::to_string(manifest.sequence) + "\n";
    if (manifest.expires) {
        text += "expires " + FormatUtcTime(*manifest.expires) + "\n";
    }
    text += "version " +
            ToHex(reinterpret_cast<const uint8_t*>(manifest.version_bytes.data()),
                  manifest.version_bytes.size()) +
            "\n";
    text += "filelist " + DigestText(manifest.file_list_sha256) + " " +
            std::to_string(manifest.file_list_size) + "\n";
    for (const SignedFile& file : manifest.files) {
        text += "file " + DigestText(file.served_sha256) + " " + std::to_string(file.served_size) +
                " " + DigestText(file.installed_sha256) + " " +
                std::to_string(file.installed_size) + " " + EncodeText(file.name) + "\n";
    }
    return text;
}

std::string FormatSignatureLine(const EcdsaSignature& signature) {
    return std::string(kSignaturePrefix) + ToHex(signature.data(), signature.size()) + "\n";
}

bool ParseReleaseManifest(std::string_view bytes, ReleaseManifest& out,
                          std::string* problem_text) noexcept {
    try {
        Problem problem(problem_text);
        out = ReleaseManifest{};
        if (bytes.size() > kMaxReleaseManifestSize) {
            return problem.Fail("larger than 16 MiB");
        }
        if (!SplitSignatureLine(bytes, out.signed_length, out.signature)) {
            return problem.Fail("the last line is not a signature line ending the file");
        }
        if (!ParseBody(bytes.substr(0, out.signed_length), out, problem)) {
            out = ReleaseManifest{};
            return false;
        }
        out.IndexNames();
        return true;
    } catch (...) {
        out = ReleaseManifest{};
        return false;
    }
}

ManifestCheck CheckSignedText(std::string_view bytes, size_t max_size,
                              const std::vector<EcdsaPublicKey>& keys) noexcept {
    size_t signed_length = 0;
    EcdsaSignature signature;
    if (bytes.size() > max_size || !SplitSignatureLine(bytes, signed_length, signature)) {
        return ManifestCheck::kMalformed;
    }
    Sha256Digest digest;
    if (!Sha256Bytes(bytes.data(), signed_length, digest)) {
        return ManifestCheck::kUnavailable;
    }
    bool unavailable = false;
    bool trusted = false;
    for (const EcdsaPublicKey& key : keys) {
        const SignatureCheck check = key.Verify(digest, signature);
        trusted = trusted || check == SignatureCheck::kValid;
        unavailable = unavailable || check == SignatureCheck::kUnavailable;
    }
    if (!trusted) {
        return unavailable ? ManifestCheck::kUnavailable : ManifestCheck::kBadSignature;
    }
    return ManifestCheck::kValid;
}

ManifestCheck OpenReleaseManifest(std::string_view bytes, const std::vector<EcdsaPublicKey>& keys,
                                  ReleaseManifest& out) noexcept {
    return OpenSignedText(bytes, kMaxReleaseManifestSize, keys, ParseReleaseManifest, out);
}

bool SplitFields(std::string_view line, size_t count, std::string_view* fields) noexcept {
    for (size_t i = 0; i + 1 < count; ++i) {
        const size_t space = line.find(' ');
        if (space == std::string_view::npos || space == 0) {
            return false;
        }
        fields[i] = line.substr(0, space);
        line.remove_prefix(space + 1);
    }
    fields[count - 1] = line;
    return !line.empty();
}

bool ParseDigest(std::string_view text, Sha256Digest& out) noexcept {
    return ParseHex(text, out.data(), out.size());
}

std::string DigestText(const Sha256Digest& digest) {
    return ToHex(digest.data(), digest.size());
}

bool HasControlBytes(std::string_view text) noexcept {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n') || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

bool NextBodyLine(std::string_view& body, std::string_view& line, size_t& number) noexcept {
    const size_t end = body.find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    line = body.substr(0, end);
    body.remove_prefix(end + 1);
    ++number;
    return true;
}

bool SplitSignatureLine(std::string_view bytes, size_t& signed_length,
                        EcdsaSignature& signature) noexcept {
    if (bytes.size() < 2 || bytes.back() != '\n') {
        return false;
    }
    const size_t previous_end = bytes.rfind('\n', bytes.size() - 2);
    const size_t start = previous_end == std::string_view::npos ? 0 : previous_end + 1;
    const std::string_view line = bytes.substr(start, bytes.size() - 1 - start);
    if (line.substr(0, kSignaturePrefix.size()) != kSignaturePrefix ||
        !ParseHex(line.substr(kSignaturePrefix.size()), signature.data(), signature.size())) {
        return false;
    }
    signed_length = start;
    return true;
}

bool ParseUtcTime(std::string_view text, uint64_t& seconds) noexcept {
    unsigned year, month, day, hour, minute, second;
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z' || !ReadDigits(text, 0, 4, year) ||
        !ReadDigits(text, 5, 2, month) || !ReadDigits(text, 8, 2, day) ||
        !ReadDigits(text, 11, 2, hour) || !ReadDigits(text, 14, 2, minute) ||
        !ReadDigits(text, 17, 2, second)) {
        return false;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    seconds =
        DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600u + minute * 60u + second;
    return true;
}

std::string FormatUtcTime(uint64_t seconds) {
    unsigned year, month, day;
    CivilFromDays(seconds / kSecondsPerDay, year, month, day);
    const unsigned in_day = static_cast<unsigned>(seconds % kSecondsPerDay);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", year, month, day,
                  in_day / 3600, in_day / 60 % 60, in_day % 60);
    return text;
}

bool ParseManifestNumber(std::string_view text, uint64_t& out) noexcept {
    return text.size() <= kMaxDecimalDigits && (text.size() < 2 || text[0] != '0') &&
           ParseDecimal(text, out);
}

uint64_t CurrentUtcTime() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return ticks < kUnixEpochAsFileTime ? 0 : (ticks - kUnixEpochAsFileTime) / 10000000u;
}

}  // namespace qv
