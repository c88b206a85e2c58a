#include "host/SignatureCheck.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cwchar>
#include <iterator>

#include "support/Hresult.h"
#include "support/Platform.h"
#include "support/UniqueHandle.h"

namespace {

// The publisher name including its terminator, as the name query counts it.
constexpr wchar_t kExpectedPublisher[] = VEXIL_PUBLISHER;
constexpr DWORD kExpectedPublisherUnits = static_cast<DWORD>(std::size(kExpectedPublisher));

// Longest path Windows hands out for a module, in UTF-16 units.
constexpr DWORD kMaxModulePath = 32768;

// One verification by the generic Authenticode policy. The provider keeps state (the signer
// and its chain) between the verify and the close call; it is closed when this object goes,
// whatever the outcome, because the provider may hold state even for a file it rejected.
class CTrustVerification
{
public:
    explicit CTrustVerification(const wchar_t* path) noexcept
    {
        m_file.cbStruct = sizeof(m_file);
        m_file.pcwszFilePath = path;

        m_data.cbStruct = sizeof(m_data);
        m_data.dwUIChoice = WTD_UI_NONE;
        // The host must start without network access, so revocation lists are never fetched;
        // the chain itself is still built and checked from the signer up to its root.
        m_data.fdwRevocationChecks = WTD_REVOKE_NONE;
        m_data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
        m_data.dwUnionChoice = WTD_CHOICE_FILE;
        m_data.pFile = &m_file;
    }

    ~CTrustVerification()
    {
        if (m_bVerifyCalled) {
            m_data.dwStateAction = WTD_STATEACTION_CLOSE;
            (void)Call();
        }
    }

    CTrustVerification(const CTrustVerification&) = delete;
    CTrustVerification& operator=(const CTrustVerification&) = delete;

    [[nodiscard]] HRESULT Verify() noexcept
    {
        m_data.dwStateAction = WTD_STATEACTION_VERIFY;
        m_bVerifyCalled = true;
        return HResultFromWin32(Call());
    }

    [[nodiscard]] HANDLE State() const noexcept { return m_data.hWVTStateData; }

private:
    [[nodiscard]] LONG Call() noexcept
    {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return Platform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_data);
    }

    WINTRUST_FILE_INFO m_file{};
    WINTRUST_DATA m_data{};
    bool m_bVerifyCalled = false;
};

// The certificate that signed the file, as the provider found it (first signer, first element
// of its chain).
[[nodiscard]] PCCERT_CONTEXT SignerCertificate(HANDLE state) noexcept
{
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(state);
    if (provider == nullptr)
        return nullptr;
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr)
        return nullptr;
    CRYPT_PROVIDER_CERT* certificate = ::WTHelperGetProvCertFromChain(signer, 0);
    return certificate != nullptr ? certificate->pCert : nullptr;
}

// S_OK when the subject common name of the certificate is exactly the expected publisher.
[[nodiscard]] HRESULT CheckPublisher(PCCERT_CONTEXT certificate) noexcept
{
    void* commonName = const_cast<char*>(szOID_COMMON_NAME);

    // A name of another length cannot match, so only a name of the right length is read.
    const DWORD units = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, commonName, nullptr, 0);
    if (units != kExpectedPublisherUnits)
        return kWrongPublisherError;

    wchar_t name[kExpectedPublisherUnits] = {};
    if (::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, commonName, name, kExpectedPublisherUnits) !=
        kExpectedPublisherUnits)
        return kWrongPublisherError;
    return std::wmemcmp(name, kExpectedPublisher, kExpectedPublisherUnits) == 0 ? S_OK : kWrongPublisherError;
}

}  // namespace

HRESULT VerifyPublisherSignature(const wchar_t* path) noexcept
{
    if (path == nullptr)
        return E_POINTER;

    CTrustVerification verification(path);
    VEXIL_RETURN_IF_FAILED(verification.Verify());

    const PCCERT_CONTEXT certificate = SignerCertificate(verification.State());
    if (certificate == nullptr)
        return TRUST_E_NO_SIGNER_CERT;
    return CheckPublisher(certificate);
}

HRESULT VerifyModuleSignature(HMODULE module) noexcept
{
    // The file name of a module is asked only of a module loaded here, by its own handle: a null
    // handle would name the executable of the process, and an address inside a module, or a
    // module mapped as data, could name a file that is not the one whose code runs.
    HMODULE loaded = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<const wchar_t*>(module), &loaded) ||
        loaded != module)
        return HResultFromWin32(ERROR_MOD_NOT_FOUND);

    UniquePlatformHeapPtr<wchar_t> path(
        static_cast<wchar_t*>(Platform().HeapAlloc(::GetProcessHeap(), 0, kMaxModulePath * sizeof(wchar_t))));
    if (!path)
        return E_OUTOFMEMORY;

    const DWORD length = Platform().GetModuleFileNameW(module, path.get(), kMaxModulePath);
    if (length == 0)
        return HResultFromLastError();
    if (length >= kMaxModulePath)
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);  // a cut path names another file

    return VerifyPublisherSignature(path.get());
}
