// The few Windows types and result codes the system speaks in. The engine was designed around
// COM-style results; the platform layers answer in the same codes so that the engine's rules
// (which failure is skipped, which ends a search, which is only logged) stay as they are.
#pragma once

#include <cstdint>

using HRESULT = std::int32_t;

// Opaque handles. A window handle carries the platform's window id (an X11 window on linux);
// null is the invalid window. Monitors are handles the capture layer hands out.
struct HWND__;
#ifndef TALLOWMARCH_HAVE_HWND
#define TALLOWMARCH_HAVE_HWND
using HWND = HWND__*;
#endif
struct HMONITOR__;
using HMONITOR = HMONITOR__*;

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

constexpr HRESULT MakeHresult(std::uint32_t bits) {
  return static_cast<HRESULT>(bits);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
inline constexpr HRESULT RPC_E_CHANGED_MODE = MakeHresult(0x80010106u);
inline constexpr HRESULT DXGI_ERROR_NOT_FOUND = MakeHresult(0x887A0002u);
inline constexpr HRESULT DXGI_ERROR_WAS_STILL_DRAWING = MakeHresult(0x887A000Au);
inline constexpr HRESULT DXGI_ERROR_DEVICE_REMOVED = MakeHresult(0x887A0005u);
inline constexpr HRESULT DXGI_ERROR_DEVICE_HUNG = MakeHresult(0x887A0006u);
inline constexpr HRESULT DXGI_ERROR_DEVICE_RESET = MakeHresult(0x887A0007u);
inline constexpr HRESULT DXGI_ERROR_DRIVER_INTERNAL_ERROR = MakeHresult(0x887A0020u);
inline constexpr HRESULT DXGI_ERROR_UNSUPPORTED = MakeHresult(0x887A0004u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = MakeHresult(0x88890004u);
inline constexpr HRESULT E_NOTFOUND =
    MakeHresult(0x80070490u);  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
