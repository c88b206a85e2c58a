#pragma once

#include <windows.h>

// Verifies that a file carries a valid code signature whose signer is the expected publisher
// (the build setting VEXIL_PUBLISHER).
[[nodiscard]] HRESULT VerifyPublisherSignature(const wchar_t* path) noexcept;

// The same for a loaded module; a null module is the executable of the process.
[[nodiscard]] HRESULT VerifyModuleSignature(HMODULE module) noexcept;
