#pragma once

// Shared by the key vault's files (KeyVault.cpp, KeyVaultDes.cpp, KeyVaultRsa.cpp) only.

namespace qorx::detail {

// 0xC500 "key material is incomplete", from the key vault.
[[noreturn]] void RaiseIncompleteKey();

}  // namespace qorx::detail
