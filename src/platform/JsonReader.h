#pragma once

// Reading of JSON text (documents) and CBOR bytes (the pasteboard) from untrusted sources: any
// input gives a value or a reason, never an exception, and nesting is bounded so that neither
// reading nor releasing a value can exhaust the stack.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// The deepest nesting of arrays and objects accepted; the application's own data nests less
/// than ten levels.
constexpr size_t kMaxJsonNesting = 100;

/// The value of JSON text; nothing for text that is not JSON, nests too deeply or holds a number
/// outside the range of a double, with the reason in `error`.
std::optional<nlohmann::ordered_json> readJson(std::string_view text, std::string* error = nullptr);
/// The value of CBOR bytes, on the same terms; a number that is not finite is refused too.
std::optional<nlohmann::ordered_json> readCbor(const uint8_t* data, size_t size,
                                               std::string* error = nullptr);

} // namespace platform
