#include "hresult_error.h"

#include <cstdio>

namespace tallowmarch {

hresult_error::hresult_error(HRESULT code, const std::string& message, std::source_location where)
    : std::runtime_error(message), code_(code), message_(message), where_(where) {}

std::string DescribeHresult(HRESULT code) {
  switch (code) {
    case E_FAIL:
      return "Unspecified error";
    case E_NOINTERFACE:
      return "No such interface supported";
    case E_POINTER:
      return "Invalid pointer";
    case E_NOTIMPL:
      return "Not implemented";
    case E_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation.";
    case E_INVALIDARG:
      return "The parameter is incorrect.";
    case E_ACCESSDENIED:
      return "Access is denied.";
    case DXGI_ERROR_NOT_FOUND:
      return "The object was not found.";
    case DXGI_ERROR_WAS_STILL_DRAWING:
      return "The GPU device instance is still drawing.";
    case DXGI_ERROR_DEVICE_REMOVED:
      return "The GPU device instance has been suspended.";
    case DXGI_ERROR_DEVICE_HUNG:
      return "The GPU will not respond to more commands.";
    case DXGI_ERROR_DEVICE_RESET:
      return "The GPU will not respond to more commands.";
    case DXGI_ERROR_UNSUPPORTED:
      return "The specified device interface or feature level is not supported on this system.";
    case AUDCLNT_E_DEVICE_INVALIDATED:
      return "The audio endpoint device has been unplugged.";
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(code));
      return text;
    }
  }
}

std::wstring FormatHresult(HRESULT code) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace tallowmarch
