#pragma once

// Reading of JSON text (documents) and CBOR bytes (the pasteboard) from untrusted sources: any
// input gives a value or a reason, never an exception. Nesting is bounded so that neither reading
// nor releasing a value can exhaust the stack, and the size of the input, the number of its values
// and the members of an object are bounded so that reading costs a fraction of a second and a few
// times the input's size in memory, whatever the input.

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
/// The largest input accepted. A project of 100,000 images with long paths and a workflow of 200
/// steps is 16 MB; presets and steps are kilobytes.
constexpr size_t kMaxJsonBytes = size_t(32) << 20;
/// The most values (strings, numbers, arrays, objects...) accepted; that project holds 210,000.
/// Each value takes tens of bytes however few characters it is written in ("{}").
constexpr size_t kMaxJsonValues = 1'000'000;
/// The most members of one object: the application's objects hold a dozen, and every member read
/// is compared with those before it.
constexpr size_t kMaxJsonMembers = 128;

/// The value of JSON text; nothing for text that is not JSON, exceeds one of the bounds above or
/// holds a number outside the range of a double, with the reason in `error`.
std::optional<nlohmann::ordered_json> readJson(std::string_view text, std::string* error = nullptr);
/// The value of CBOR bytes, on the same terms; a number that is not finite is refused too.
std::optional<nlohmann::ordered_json> readCbor(const uint8_t* data, size_t size,
                                               std::string* error = nullptr);

} // namespace platform
