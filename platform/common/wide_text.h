// UTF-8 <-> wide conversion for the whole tree. wchar_t is 32 bits here, so a wide string holds
// one code point per element.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallowmarch {

// Strict decoding: nullopt for malformed UTF-8 (bad sequences, overlong forms, surrogates,
// code points above U+10FFFF). Embedded NULs are kept; callers that forbid them check.
std::optional<std::wstring> DecodeUtf8(std::string_view text);

// Lenient decoding: every malformed sequence becomes U+FFFD.
std::wstring Widen(std::string_view text);

// Encoding: code points that cannot be encoded (surrogates, values above U+10FFFF) become U+FFFD.
std::string Narrow(std::wstring_view text);

}  // namespace tallowmarch
