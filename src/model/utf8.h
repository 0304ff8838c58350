// Strict UTF-8 validation, with the same rules as Python's decoder: no
// overlong forms, no surrogates, nothing above U+10FFFF.  Pure; any thread.
#ifndef MOVRA_MODEL_UTF8_H_
#define MOVRA_MODEL_UTF8_H_

#include <string_view>

namespace movra {

bool is_valid_utf8(std::string_view bytes);

// Whether every byte is below 0x80 (then the bytes are valid UTF-8, and no
// byte continues a character).
bool is_ascii(std::string_view bytes);

}  // namespace movra

#endif  // MOVRA_MODEL_UTF8_H_
