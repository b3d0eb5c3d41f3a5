#pragma once
// Owners for the handles of Windows' cryptography API (CNG, bcrypt.dll), in the same
// shape as the kernel handle owners. bcrypt.dll comes from the system folder only
// (win/system_dlls.h).

#include <windows.h>

#include <bcrypt.h>

#include "win/system_dlls.h"
#include "win/unique_handle.h"

namespace qv {

// An algorithm provider's close takes flags as well.
inline NTSTATUS CloseCngAlgorithm(BCRYPT_ALG_HANDLE algorithm) noexcept {
    return system32::BCryptCloseAlgorithmProvider(algorithm, 0);
}

using UniqueCngAlgorithm = UniqueHandle<BCRYPT_ALG_HANDLE, nullptr, CloseCngAlgorithm>;
using UniqueCngKey = UniqueHandle<BCRYPT_KEY_HANDLE, nullptr, system32::BCryptDestroyKey>;
using UniqueCngHash = UniqueHandle<BCRYPT_HASH_HANDLE, nullptr, system32::BCryptDestroyHash>;

// NTSTATUS values CNG returns; ntstatus.h clashes with windows.h.
inline constexpr NTSTATUS kStatusSuccess = 0;
inline constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

}  // namespace qv
