#pragma once

#include <windows.h>

// Verifies that a file carries a valid code signature whose signer is the expected publisher
// (the build setting VEXIL_PUBLISHER, compared whole with the subject common name of the
// signing certificate). A file the trust provider rejects gives the provider's answer (for
// example TRUST_E_NOSIGNATURE for an unsigned file, TRUST_E_BAD_DIGEST for one changed after
// signing); a trusted signature from anyone else gives kWrongPublisherError.
[[nodiscard]] HRESULT VerifyPublisherSignature(const wchar_t* path) noexcept;

// The same for the file of a module loaded in the process, given by its handle (the executable's
// is GetModuleHandleW(nullptr)). Any other value, null included, fails with
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND).
[[nodiscard]] HRESULT VerifyModuleSignature(HMODULE module) noexcept;

// The signature is valid but the signer is not the expected publisher: the certificate's
// common name does not match.
inline constexpr HRESULT kWrongPublisherError = CERT_E_CN_NO_MATCH;
