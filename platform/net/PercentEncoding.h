#pragma once

#include <string>
#include <string_view>

namespace platform {

// Escapes a URL path: ASCII letters, digits and !$&'()*+,-./:;=@_~ stay as they are; every other
// byte of the text (the blank, "%", "?", "#" and each byte of a multi-byte character included)
// becomes "%XX" with upper-case hex digits.
std::string percentEncodePath(std::string_view text);

}  // namespace platform
