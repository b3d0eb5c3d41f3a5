#pragma once
// Owners for the handles of Windows' cryptography API (CNG, bcrypt.dll), in the same
// shape as the kernel handle owners. bcrypt.dll comes from the system folder only
// (win/system_dlls.h).

#include <windows.h>

#include <bcrypt.h>

#include "win/system_dlls.h"
#include "win/unique_handle.h"

namespace qv {

struct CngAlgorithmTraits {
    using pointer = BCRYPT_ALG_HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { (void)system32::BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngKeyTraits {
    using pointer = BCRYPT_KEY_HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { (void)system32::BCryptDestroyKey(h); }
};

struct CngHashTraits {
    using pointer = BCRYPT_HASH_HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { (void)system32::BCryptDestroyHash(h); }
};

using UniqueCngAlgorithm = UniqueHandle<CngAlgorithmTraits>;
using UniqueCngKey = UniqueHandle<CngKeyTraits>;
using UniqueCngHash = UniqueHandle<CngHashTraits>;

// NTSTATUS values CNG returns; ntstatus.h clashes with windows.h.
inline constexpr NTSTATUS kStatusSuccess = 0;
inline constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

}  // namespace qv
