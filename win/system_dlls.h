#pragma once
// The functions the updater needs from Windows DLLs that are not known DLLs
// (version.dll, bcrypt.dll, comctl32.dll). A static import of such a DLL is resolved
// by the ordinary search order, the program's own folder first, before any of the
// program's code runs; so these DLLs are never imported but loaded from the system
// folder (SystemLibrary) on first use and kept for the process's life. Each function
// has the signature of the Windows function of the same name and fails as that one
// does when its DLL or export is missing.

#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>

#include "win/system_library.h"

namespace qv::system32 {

namespace detail {

inline const SystemLibrary& Version() noexcept {
    static const SystemLibrary library(L"version.dll");
    return library;
}
inline const SystemLibrary& Bcrypt() noexcept {
    static const SystemLibrary library(L"bcrypt.dll");
    return library;
}
inline const SystemLibrary& Comctl32() noexcept {
    static const SystemLibrary library(L"comctl32.dll");
    return library;
}

// What a CNG function returns when bcrypt.dll or the export is missing.
inline constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007AL);

// Calls a bcrypt.dll function that was looked up, or fails as CNG does without it.
template <typename Function, typename... Args>
NTSTATUS CallCng(Function function, Args... args) noexcept {
    return function != nullptr ? function(args...) : kStatusProcedureNotFound;
}

// Sets the error a missing version.dll function reports; returns `result`.
template <typename Result>
Result Missing(Result result) noexcept {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return result;
}

}  // namespace detail

// version.dll

inline DWORD GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle) noexcept {
    static const auto function =
        detail::Version().Find<decltype(&::GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
    return function != nullptr ? function(file, handle) : detail::Missing<DWORD>(0);
}

inline BOOL GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size, LPVOID data) noexcept {
    static const auto function =
        detail::Version().Find<decltype(&::GetFileVersionInfoW)>("GetFileVersionInfoW");
    return function != nullptr ? function(file, handle, size, data) : detail::Missing(FALSE);
}

inline BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT size) noexcept {
    static const auto function =
        detail::Version().Find<decltype(&::VerQueryValueW)>("VerQueryValueW");
    return function != nullptr ? function(block, sub_block, buffer, size) : detail::Missing(FALSE);
}

// comctl32.dll (the version the manifest asks for: the activation context still
// decides which copy of the system's loads)

inline BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* classes) noexcept {
    static const auto function =
        detail::Comctl32().Find<decltype(&::InitCommonControlsEx)>("InitCommonControlsEx");
    return function != nullptr ? function(classes) : FALSE;
}

// bcrypt.dll

inline NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR id,
                                            LPCWSTR implementation, ULONG flags) noexcept {
    static const auto function = detail::Bcrypt().Find<decltype(&::BCryptOpenAlgorithmProvider)>(
        "BCryptOpenAlgorithmProvider");
    return detail::CallCng(function, algorithm, id, implementation, flags);
}

inline NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags) noexcept {
    static const auto function = detail::Bcrypt().Find<decltype(&::BCryptCloseAlgorithmProvider)>(
        "BCryptCloseAlgorithmProvider");
    return detail::CallCng(function, algorithm, flags);
}

inline NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash,
                                 PUCHAR object, ULONG object_size, PUCHAR secret, ULONG secret_size,
                                 ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptCreateHash)>("BCryptCreateHash");
    return detail::CallCng(function, algorithm, hash, object, object_size, secret, secret_size,
                           flags);
}

inline NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG size,
                               ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptHashData)>("BCryptHashData");
    return detail::CallCng(function, hash, input, size, flags);
}

inline NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG size,
                                 ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptFinishHash)>("BCryptFinishHash");
    return detail::CallCng(function, hash, output, size, flags);
}

inline NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptDestroyHash)>("BCryptDestroyHash");
    return detail::CallCng(function, hash);
}

inline NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key,
                                    LPCWSTR blob_type, BCRYPT_KEY_HANDLE* key, PUCHAR input,
                                    ULONG size, ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptImportKeyPair)>("BCryptImportKeyPair");
    return detail::CallCng(function, algorithm, import_key, blob_type, key, input, size, flags);
}

inline NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key,
                                      ULONG length, ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptGenerateKeyPair)>("BCryptGenerateKeyPair");
    return detail::CallCng(function, algorithm, key, length, flags);
}

inline NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE key, ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptFinalizeKeyPair)>("BCryptFinalizeKeyPair");
    return detail::CallCng(function, key, flags);
}

inline NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE export_key,
                                LPCWSTR blob_type, PUCHAR output, ULONG size, ULONG* result,
                                ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptExportKey)>("BCryptExportKey");
    return detail::CallCng(function, key, export_key, blob_type, output, size, result, flags);
}

inline NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE key) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptDestroyKey)>("BCryptDestroyKey");
    return detail::CallCng(function, key);
}

inline NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE key, VOID* padding, PUCHAR input, ULONG input_size,
                               PUCHAR output, ULONG output_size, ULONG* result,
                               ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptSignHash)>("BCryptSignHash");
    return detail::CallCng(function, key, padding, input, input_size, output, output_size, result,
                           flags);
}

inline NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE key, VOID* padding, PUCHAR hash,
                                      ULONG hash_size, PUCHAR signature, ULONG signature_size,
                                      ULONG flags) noexcept {
    static const auto function =
        detail::Bcrypt().Find<decltype(&::BCryptVerifySignature)>("BCryptVerifySignature");
    return detail::CallCng(function, key, padding, hash, hash_size, signature, signature_size,
                           flags);
}

}  // namespace qv::system32
