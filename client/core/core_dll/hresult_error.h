// The engine's one error type for platform failures: an HRESULT, a message and where the
// failing call was made. ThrowIfFailed is the one checking routine every platform result of
// the engine goes through.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

#include "common/win_types.h"

namespace tallowmarch {

class hresult_error : public std::runtime_error {
 public:
  hresult_error(HRESULT code, const std::string& message,
                std::source_location where = std::source_location::current());

  HRESULT code() const noexcept { return code_; }
  // The message text alone (what() carries the same text).
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  HRESULT code_;
  std::string message_;
  std::source_location where_;
};

// The system's description of a result code, as FormatMessage would give it.
std::string DescribeHresult(HRESULT code);

// Raises hresult_error when `code` is a failure; the message is the code's description.
inline void ThrowIfFailed(HRESULT code,
                          std::source_location where = std::source_location::current()) {
  if (FAILED(code)) throw hresult_error(code, DescribeHresult(code), where);
}

// "0x" and the code as eight upper-case hexadecimal digits, as every log line writes it.
std::wstring FormatHresult(HRESULT code);

}  // namespace tallowmarch
