// Times the run's reading of a program's signature (its place in the file,
// its version, WinVerifyTrust through a handle and the signer's key)
// beside a bare WinVerifyTrust call on the same file: prints the medians of
// 20 of each, in milliseconds, and whether the first found a signer.
//
// usage: signature_check_once FILE.exe
#include <windows.h>
// After windows.h: they need its types.
#include <wintrust.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "run/run_ops.h"

namespace {

GUID kAuthenticodePolicy = {0x00aac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

LONG BareWinVerifyTrust(const wchar_t* path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &kAuthenticodePolicy, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &kAuthenticodePolicy, &data);
  return result;
}

double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::vector<double> ours, bare;
  bool signer = false;
  for (int i = 0; i < 21; ++i) {
    auto start = std::chrono::steady_clock::now();
    PublisherPin pin;
    const bool read = ReadPublisherPin(argv[1], pin) == 0;
    const auto middle = std::chrono::steady_clock::now();
    BareWinVerifyTrust(argv[1]);
    const auto end = std::chrono::steady_clock::now();
    if (i == 0) continue;  // the libraries' first load
    signer = read && !pin.signer.key_hash.empty();
    ours.push_back(std::chrono::duration<double, std::milli>(middle - start).count());
    bare.push_back(std::chrono::duration<double, std::milli>(end - middle).count());
  }
  printf("%.2f %.2f %s\n", Median(ours), Median(bare), signer ? "signer" : "no-signer");
  return 0;
}
