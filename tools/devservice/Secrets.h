#pragma once
// Random identifiers and the hashes under which tokens are kept.

#include <cstddef>
#include <string>
#include <string_view>

namespace Secrets {

// `bytes` bytes from the system's CSPRNG as lower-case hexadecimal; throws std::runtime_error
// when the generator cannot deliver.
[[nodiscard]] std::string randomHex(std::size_t bytes);

// SHA-256 of the text as lower-case hexadecimal.
[[nodiscard]] std::string sha256Hex(std::string_view text);

} // namespace Secrets
