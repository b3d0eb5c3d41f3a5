#include "tools/publish/command_line.h"

#include <cwchar>
#include <utility>

#include "trust/release_manifest.h"
#include "win/text.h"

namespace qv::publish {

namespace {

// Splits "--name=value" into its parts; an option without '=' gets its value from the
// next argument when it takes one.
bool SplitOption(const std::wstring& arg, std::wstring& name, std::wstring& value,
                 bool& has_value) {
    if (arg.size() < 3 || arg.compare(0, 2, L"--") != 0) {
        return false;
    }
    const size_t equals = arg.find(L'=');
    name = arg.substr(0, equals);
    has_value = equals != std::wstring::npos;
    value = has_value ? arg.substr(equals + 1) : std::wstring();
    return true;
}

bool ParseLevel(const std::wstring& text, int& out) {
    if (text.size() != 1 || text[0] < L'0' || text[0] > L'9') {
        return false;
    }
    out = text[0] - L'0';
    return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::wstring>& args, Command& command,
                      std::wstring& error) {
    // Swapped in rather than assigned from a temporary, which GCC 12 at -O3 takes for
    // a read of uninitialised strings.
    Command fresh;
    std::swap(command, fresh);
    if (args.empty()) {
        return true;  // help
    }
    size_t i = 0;
    const std::wstring& verb = args[0];
    if (verb == L"--help" || verb == L"-h" || verb == L"/?" || verb == L"help") {
        return true;
    }
    if (verb == L"publish") {
        command.kind = Command::Kind::kPublish;
    } else if (verb == L"check") {
        command.kind = Command::Kind::kCheck;
    } else if (verb == L"keygen") {
        command.kind = Command::Kind::kKeygen;
    } else {
        error = L"unknown command \"" + verb + L"\"; use publish, check, keygen or --help";
        return false;
    }
    std::vector<std::wstring> positional;
    bool install_dir_given = false;
    for (i = 1; i < args.size(); ++i) {
        std::wstring name, value;
        bool has_value = false;
        if (!SplitOption(args[i], name, value, has_value)) {
            positional.push_back(args[i]);
            continue;
        }
        if (name == L"--help") {
            command.kind = Command::Kind::kHelp;
            return true;
        }
        if (name == L"--quiet") {
            command.quiet = true;
            continue;
        }
        const bool takes_value =
            name == L"--version" || name == L"--zip" || name == L"--zip-above" ||
            name == L"--level" || name == L"--install-dir" || name == L"--installed" ||
            name == L"--base-url" || name == L"--sign" || name == L"--sequence" ||
            name == L"--expires" || name == L"--key" || name == L"--private" ||
            name == L"--public" || name == L"--delta-from";
        if (!takes_value) {
            error = L"unknown option " + name;
            return false;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                error = name + L" needs a value";
                return false;
            }
            value = args[++i];
        }
        const bool publish = command.kind == Command::Kind::kPublish;
        const bool keygen = command.kind == Command::Kind::kKeygen;
        if (keygen && (name == L"--private" || name == L"--public")) {
            if (value.empty()) {
                error = name + L" needs a file";
                return false;
            }
            (name == L"--private" ? command.keygen.private_file : command.keygen.public_file) =
                value;
        } else if (keygen) {
            error = name + L" does not apply to keygen";
            return false;
        } else if (name == L"--sign" && publish) {
            if (value.empty()) {
                error = L"--sign needs the private key file";
                return false;
            }
            command.publish.signing.private_file = value;
        } else if (name == L"--sequence" && publish) {
            uint64_t sequence = 0;
            if (!ParseManifestNumber(EncodeText(value), sequence)) {
                error =
                    L"--sequence needs a whole number from 0 to 18446744073709551615, without "
                    L"leading zeros";
                return false;
            }
            command.publish.signing.sequence = sequence;
        } else if (name == L"--expires" && publish) {
            const std::string text = EncodeText(value);
            uint64_t expires = 0;
            if (!ParseUtcTime(text, expires)) {
                error = L"--expires needs a UTC time such as 2026-06-30T00:00:00Z";
                return false;
            }
            command.publish.signing.expires = expires;
        } else if (name == L"--key" && !publish) {
            if (value.empty()) {
                error = L"--key needs the public key file";
                return false;
            }
            command.check.key_file = value;
        } else if (name == L"--install-dir") {
            command.publish.install_dir = command.check.install_dir = value;
            install_dir_given = true;
        } else if (name == L"--base-url") {
            command.publish.base_url = command.check.base_url = value;
        } else if (name == L"--delta-from") {
            if (value.empty()) {
                error = L"--delta-from needs an old release folder";
                return false;
            }
            command.publish.delta_from.push_back(value);
            command.check.delta_from.push_back(value);
        } else if (name == L"--installed" && !publish) {
            command.check.installed_dir = value;
        } else if (name == L"--version" && publish) {
            command.publish.version = value;
        } else if (name == L"--zip" && publish) {
            if (value.empty()) {
                error = L"--zip needs a pattern";
                return false;
            }
            command.publish.zip.patterns.push_back(value);
        } else if (name == L"--zip-above" && publish) {
            if (!ParseSize(value, command.publish.zip.above_size)) {
                error = L"--zip-above needs a size such as 200000, 512K or 10M";
                return false;
            }
        } else if (name == L"--level" && publish) {
            if (!ParseLevel(value, command.publish.level)) {
                error = L"--level needs a number from 0 (store) to 9 (smallest)";
                return false;
            }
        } else {
            error = name + L" does not apply to " + verb;
            return false;
        }
    }
    if (install_dir_given && command.publish.install_dir.empty()) {
        error = L"--install-dir needs a folder";
        return false;
    }
    if (command.kind == Command::Kind::kKeygen) {
        if (!positional.empty() || command.keygen.private_file.empty() ||
            command.keygen.public_file.empty()) {
            error = L"keygen needs --private FILE and --public FILE, and nothing else";
            return false;
        }
        return true;
    }
    const SigningOptions& signing = command.publish.signing;
    if (signing.private_file.empty() && (signing.sequence || signing.expires)) {
        error = L"--sequence and --expires belong to a signed release: add --sign";
        return false;
    }
    if (command.kind == Command::Kind::kPublish && signing.private_file.empty() &&
        !command.publish.delta_from.empty()) {
        error =
            L"--delta-from needs --sign: installations pick a patch's base by the signed "
            L"hashes";
        return false;
    }
    const size_t wanted = command.kind == Command::Kind::kPublish ? 2 : 1;
    if (positional.size() != wanted) {
        error = command.kind == Command::Kind::kPublish
                    ? L"publish needs two folders: the release and the new server folder"
                    : L"check needs one folder: the server folder";
        return false;
    }
    if (command.kind == Command::Kind::kPublish) {
        command.publish.release_dir = positional[0];
        command.publish.server_dir = positional[1];
    } else {
        command.check.server_dir = positional[0];
    }
    return true;
}

std::wstring HelpText() {
    return LR"(qvpublish - makes the update server's files from a release of the reader

usage:
  qvpublish publish RELEASE SERVER [options] [--sign PRIVATE_FILE [--sequence N]
                                              [--expires YYYY-MM-DDTHH:MM:SSZ]
                                              [--delta-from OLD_RELEASE ...]]
  qvpublish check SERVER [--installed FOLDER] [--key PUBLIC_FILE]
                         [--delta-from OLD_RELEASE ...] [options]
  qvpublish keygen --private FILE --public FILE
  qvpublish --help

publish
  RELEASE is a folder that looks exactly like an installation after the update
  (qvreader.exe, update.exe, cfg.ini, data files, subfolders). SERVER is a new or
  empty folder; afterwards it holds:
    ver.dat       the version text, without a line end
    filelist.dat  one line per file: CRC-32 as installed, CRC-32 as downloaded,
                  0, zipped (0 or 1), name
    every file    under its own name, plain or as a zip archive (still under the
                  plain name: the updater fetches NAME and unpacks it itself)
  Copy SERVER to the web server folder that cfg.ini's "upddir" URL names, for
  example http://update.example.com/up1 -> <web root>/up1/. Any static web
  server will do.

  The version text is the first line of the release's ver.dat if it has one
  (then that file must hold the text alone, without a line end), otherwise the
  file version of the release's qvreader.exe ("1.2.3.4"). The updater compares
  it with the installed version as text: any difference means "update".

  options:
    --version TEXT      the version text, when the release has neither ver.dat
                        nor a versioned qvreader.exe; it must match them if it
                        has one
    --zip PATTERN       serve matching files zipped; may be repeated. Wildcards
                        * and ?, letter case ignored. Without a backslash the
                        pattern is matched against the file's own name ("*.dll"),
                        with one against the whole path ("data\*")
    --zip-above SIZE    serve files larger than SIZE zipped (bytes, or with K, M
                        or G, e.g. 1M)
    --level N           compression level for zipped files, 0 (store) to 9
                        (smallest, the default)
    --install-dir DIR   the installation folder to check path lengths against
                        (default "C:\Program Files (x86)\Qv Reader"); every path
                        the updater builds must fit in 259 characters
    --base-url URL      cfg.ini's "upddir" URL, to check that every file's URL
                        stays within what the updater fetches (default
                        http://update.qvreader.example/up1)
    --quiet             no progress line

  signing (installations whose cfg.ini has [security] release_keys install only
  releases signed with one of those keys):
    --sign FILE         sign the release with the private key FILE (made by
                        keygen): SERVER also gets release.dat, written just
                        before ver.dat, which binds ver.dat, filelist.dat and
                        the SHA-256 and size of every file as served and as
                        installed
    --sequence N        the release's sequence number (0 to 2^64-1); each
                        release must have a larger one than the last, or
                        installations refuse it as a rollback. Default: the
                        current UTC time in seconds
    --expires TIME      installations refuse the release from this UTC time
                        on, e.g. 2026-06-30T00:00:00Z (default: never), so
                        that an old release cannot be served for ever
    --delta-from DIR    an earlier release folder (as it was published, an
                        installation of that version); may be repeated. For
                        every file whose bytes differ from DIR's file of the
                        same name, a zstd patch against that file is served
                        as qvpatch\<sha256 of the patch> when it is under
                        half the file's served size, and delta.dat (signed,
                        written before release.dat) describes each patch:
                        the file, its base's SHA-256 and size, the patch's
                        SHA-256, size and name. release.dat is unchanged:
                        updaters that know no patches take full files

  Refused, with nothing written (exit code 2): names the updater cannot handle
  (outside the folder, ':', control characters, '#', '%', characters or names
  Windows does not allow, names that differ only in letter case, URLs too long
  for the updater), anything in a top-level "update" folder (the updater's own
  working folder) or "qvpatch" folder (the server's patches), a top-level
  file named like one of that folder's own files in any letter case
  ("filelist.dat", "downlist.dat", "release.seq", "release.seq.new",
  "release.ver.new"), a top-level "release.dat" or "delta.dat", paths too
  long under the installation folder, files larger than 1 GiB, and a version
  text that installations would never match.

  Publish each release into a new folder and then point the web server at it
  (or rename it into place): ver.dat is written last, so a folder is never
  announced before its files are complete.

check
  Reads SERVER as the updater would and reports: list lines the updater would
  skip or misread, files missing on the server, CRC-32 mismatches, zipped
  entries whose first item does not extract to the listed file, and which files
  an installation would download with their total size: of FOLDER when
  --installed is given (with its version compared), else of an empty one.
  Options: --installed FOLDER, --install-dir DIR, --base-url URL, --quiet.
  With --key PUBLIC_FILE it also verifies release.dat: its signature with that
  public key, its expiry, that it signs the served ver.dat and filelist.dat,
  and the SHA-256 and size of every file, served and (zipped ones extracted)
  installed. Without --key an existing release.dat is checked all the same
  except for its signature. delta.dat, when present, is checked alike: its
  signature, that it belongs to this release, every patch's SHA-256 and size;
  each patch whose base is in the --installed FOLDER or a --delta-from
  OLD_RELEASE is applied and must make the file release.dat lists.

keygen
  Makes a new ECDSA P-256 key pair: the private key FILE (keep it off the
  update server and the build machines) and the public key FILE, one line
  "ecdsa-p256:..." that goes into the cfg.ini of the installations:
    [security]
    release_keys=ecdsa-p256:...
  (two keys separated by a space while moving to a new key). Never overwrites
  an existing file.

exit codes
  0 done, no problems
  1 wrong command line, or folders or key files that cannot be used (the
    server folder of publish must be new or empty; keygen never overwrites)
  2 publish refused the release; nothing was written
  3 reading or writing failed while publishing (the server folder then has
    no ver.dat, so updaters pointed at it do nothing)
  4 check found problems

example
  qvpublish publish C:\build\release-1.0.0.2 C:\www\up1-1.0.0.2 --zip *.dll --zip-above 1M
  qvpublish check C:\www\up1-1.0.0.2 --installed "C:\Program Files (x86)\Qv Reader"
  qvpublish keygen --private E:\keys\release.key --public E:\keys\release.pub
  qvpublish publish C:\build\release-1.0.0.3 C:\www\up1-1.0.0.3 --sign E:\keys\release.key
  qvpublish check C:\www\up1-1.0.0.3 --key E:\keys\release.pub
)";
}

}  // namespace qv::publish
