// The vendor's signature (Windows): the current executable's Authenticode
// signer is the publisher; the new program's is verified by WinVerifyTrust
// through the run's handle. The pin's key is not used.
#include <windows.h>
// After windows.h: they need its types.
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdint>
#include <string>

#include "common/file-win32.h"
#include "common/library-win32.h"
#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "run/run_ops-win32.h"
#include "run/run_ops.h"

namespace {

// WINTRUST_ACTION_GENERIC_VERIFY_V2: the Authenticode policy.
GUID kAuthenticodePolicy = {0x00aac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

// The signature libraries are loaded when a pin needs them, never at start,
// and from System32 alone: a wintrust.dll or crypt32.dll put beside the
// tool or on the path is never loaded. Where the system cannot restrict the
// search (Vista and 7 without KB2533623), by their full path.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  const auto set_directories = LibraryFunction<BOOL(WINAPI*)(DWORD)>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (set_directories != nullptr && set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const Text path = Text(system, length) + L'\\' + name;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
bool Find(HMODULE library, const char* name, Function& function) {
  function = LibraryFunction<Function>(library, name);
  return function != nullptr;
}

struct TrustCalls {
  LONG(WINAPI* verify)(HWND, GUID*, void*);
  CRYPT_PROVIDER_DATA*(WINAPI* provider_data)(HANDLE);
  CRYPT_PROVIDER_SGNR*(WINAPI* signer)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
  BOOL(WINAPI* encode)(DWORD, LPCSTR, const void*, DWORD, PCRYPT_ENCODE_PARA, void*, DWORD*);
  DWORD(WINAPI* name_of)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD);
};

// The calls, or an error where the system lacks them.
DWORD LoadTrustCalls(TrustCalls& calls) {
  static const HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
  static const HMODULE crypt32 = LoadSystemLibrary(L"crypt32.dll");
  if (!Find(wintrust, "WinVerifyTrust", calls.verify) ||
      !Find(wintrust, "WTHelperProvDataFromStateData", calls.provider_data) ||
      !Find(wintrust, "WTHelperGetProvSignerFromChain", calls.signer) ||
      !Find(crypt32, "CryptEncodeObjectEx", calls.encode) ||
      !Find(crypt32, "CertGetNameStringW", calls.name_of)) {
    return ERROR_PROC_NOT_FOUND;
  }
  return 0;
}

DWORD Sha256(const std::string& bytes, std::string& hash) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hasher = 0;
  DWORD error = 0, size = 32;
  hash.assign(size, '\0');
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return LastError();
  }
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hasher) ||
      !CryptHashData(hasher, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) ||
      !CryptGetHashParam(hasher, HP_HASHVAL, reinterpret_cast<BYTE*>(&hash[0]), &size, 0)) {
    error = LastError();
  }
  if (hasher != 0) CryptDestroyHash(hasher);
  CryptReleaseContext(provider, 0);
  return error;
}

// The leaf certificate's key (SHA-256 of its SubjectPublicKeyInfo, as
// encoded), its whole subject and its common name.
DWORD ReadSigner(const TrustCalls& calls, PCCERT_CONTEXT leaf, Signer& signer) {
  const CERT_PUBLIC_KEY_INFO& key = leaf->pCertInfo->SubjectPublicKeyInfo;
  DWORD size = 0;
  if (!calls.encode(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &key, 0, nullptr, nullptr, &size)) {
    return LastError();
  }
  std::string encoded(size, '\0');
  if (!calls.encode(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &key, 0, nullptr, &encoded[0], &size)) {
    return LastError();
  }
  encoded.resize(size);
  if (DWORD error = Sha256(encoded, signer.key_hash)) return error;
  const CERT_NAME_BLOB& subject = leaf->pCertInfo->Subject;
  signer.subject.assign(reinterpret_cast<const char*>(subject.pbData), subject.cbData);
  wchar_t name[128];
  const DWORD length = calls.name_of(leaf, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                                     name, 128);
  signer.common_name = length > 1 ? Text(name, length - 1) : Text();
  return 0;
}

// What Windows says of the file's signature, offline (no revocation, no
// retrieval but from the cache) and without a user interface, read through
// `file`; the primary signer alone, never a nested signature's nor a
// certificate that only sits in the signature.
DWORD VerifySignature(HANDLE file, const Text& path, SignatureFacts& facts) {
  TrustCalls calls;
  if (DWORD error = LoadTrustCalls(calls)) return error;
  const Text extended = ExtendedPath(path);
  WINTRUST_FILE_INFO file_info = {};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = extended.c_str();
  file_info.hFile = file;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  const LONG result = calls.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &kAuthenticodePolicy, &data);
  facts.code = static_cast<uint32_t>(result);
  facts.state = ClassifyWinVerifyTrustResult(facts.code);
  DWORD error = 0;
  if (facts.state == SignatureState::kTrusted || facts.state == SignatureState::kUntrustedChain) {
    CRYPT_PROVIDER_DATA* provider = calls.provider_data(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? calls.signer(provider, 0, FALSE, 0) : nullptr;
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain[0].pCert == nullptr) {
      facts.state = SignatureState::kUnreadable;
    } else {
      error = ReadSigner(calls, signer->pasCertChain[0].pCert, facts.signer);
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  calls.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &kAuthenticodePolicy, &data);
  return error;
}

// The signature's place in the file, its file version and the file it says
// it is (OriginalFilename), from the bytes.
void ReadLayoutAndVersion(HANDLE file, uint64_t size, CertificateTableLayout& layout, Version& version,
                          Text& file_name) {
  const ReadAt read = [&](uint64_t offset, size_t count, std::string& bytes) {
    return ReadFileAt(file, offset, count, bytes) == 0;
  };
  layout = CheckCertificateTableLayout(read, size);
  uint64_t file_version = 0;
  if (ReadFileVersion(read, size, file_version)) version = {VersionKind::kFileVersion, file_version};
  std::u16string name;
  if (ReadVersionString(read, size, u"OriginalFilename", name)) file_name.assign(name.begin(), name.end());
}

}  // namespace

SystemError ReadPublisherPin(const Text& current, PublisherPin& pin) {
  pin = PublisherPin();
  // A scanner holding it for a moment is waited out, as by the other steps
  // that read it.
  const Text extended = ExtendedPath(current);
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD open_error = RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    file = CreateFileW(extended.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    return file != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (open_error != 0) {
    // No program in place: nothing to match, as before.
    return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND ? 0 : open_error;
  }
  LARGE_INTEGER size = {};
  CertificateTableLayout layout = CertificateTableLayout::kNone;
  DWORD error = GetFileSizeEx(file, &size) ? 0 : LastError();
  if (error == 0) {
    ReadLayoutAndVersion(file, static_cast<uint64_t>(size.QuadPart), layout, pin.version, pin.file_name);
  }
  // The publisher's other programs are no updater: where this one names
  // itself, the download must name itself the same.
  pin.file_name_required = !pin.file_name.empty();
  // An unsigned program pins nothing: unsigned deployments keep working.
  SignatureFacts facts;
  if (error == 0 && layout != CertificateTableLayout::kNone) {
    pin.required = true;
    error = VerifySignature(file, current, facts);
    // The publisher is who signed it, whatever the chain says today; a
    // signature that does not verify, or whose signer cannot be read, pins
    // no one, and takes nothing.
    if (error == 0 && facts.state != SignatureState::kTrusted &&
        facts.state != SignatureState::kUntrustedChain) {
      error = facts.code != 0 ? facts.code : static_cast<DWORD>(ERROR_INVALID_DATA);
    }
    pin.signer = facts.signer;
    if (error == 0 && pin.signer.key_hash.empty()) error = ERROR_INVALID_DATA;
  }
  CloseHandle(file);
  return error;
}

SystemError ReadReplacementSignature(Replacement& replacement, const PublisherPin&, SignatureFacts& facts) {
  facts = SignatureFacts();
  CertificateTableLayout layout = CertificateTableLayout::kNone;
  ReadLayoutAndVersion(replacement.handle, replacement.size, layout, facts.version, facts.file_name);
  if (layout == CertificateTableLayout::kNone) return 0;
  if (layout == CertificateTableLayout::kTrailingBytes) {
    facts.state = SignatureState::kTrailingBytes;
    return 0;
  }
  // Through the handle held on the file that will be renamed: the file
  // checked is the file swapped.
  return VerifySignature(replacement.handle, replacement.path, facts);
}

