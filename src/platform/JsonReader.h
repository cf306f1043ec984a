#pragma once

// Reading of JSON text (documents) and CBOR bytes (the pasteboard) from untrusted sources: any
// input gives a value or a reason, never an exception. Nesting is bounded so that neither reading
// nor releasing a value can exhaust the stack; the members of an object, the length of a text and
// the number of values are bounded so that reading costs time in proportion to the input and a few
// times its size in memory, whatever the input.
//
// A document is read in parts (a step of a workflow, a path of an image list), each built alone and
// handed over, so that what it costs is what its content costs: the values held at once are one
// part's, and the values read so far are bounded in proportion to the text read so far.

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
/// The most members of one object: the application's objects hold a dozen, and every member read
/// is compared with those before it.
constexpr size_t kMaxJsonMembers = 128;
/// The longest text (a string or a member's name), in bytes. A watermark's text, a path or a name
/// is at most a few kilobytes; a longer one would only stall whatever shows or draws it.
constexpr size_t kMaxJsonTextBytes = size_t(64) << 10;
/// The most values held at once: by a value read whole, or by one part of a document. A workflow
/// step holds about 600.
constexpr size_t kMaxJsonValues = 1'000'000;
/// Beyond kMaxJsonValues, a document holds at most one value for every this many bytes of its
/// text before it (as JsonValueMeter measures them). The application's documents spend 13 bytes or
/// more on each (a step's values are named numbers and texts, an image list's values paths),
/// while "{}," spends 3 and costs tens of bytes in memory.
constexpr size_t kJsonBytesPerValue = 8;
/// The largest document, refused unread beyond it: 500,000 images with long paths and a workflow of
/// 10,000 steps are 150 MB.
constexpr size_t kMaxJsonDocumentBytes = size_t(1) << 30;
/// The largest value read whole (a step on the pasteboard is kilobytes).
constexpr size_t kMaxJsonBytes = size_t(32) << 20;

/// The values of a document against its text, from its start, as the reader and the writer both
/// count them. The text is measured at the least JSON can write it in (a number as one byte, a
/// string without escapes, no spaces), so that the measure follows from the values alone and
/// what the writer lets through the reader reads.
class JsonValueMeter {
  public:
    /// The least bytes of a value's text; of a container, its opening.
    static size_t bytes(const nlohmann::ordered_json& value) {
        switch (value.type()) {
        case nlohmann::ordered_json::value_t::null:
            return 4;
        case nlohmann::ordered_json::value_t::boolean:
            return value.get<bool>() ? 4 : 5;
        case nlohmann::ordered_json::value_t::string:
            return value.get_ref<const std::string&>().size() + 2;
        case nlohmann::ordered_json::value_t::binary:
            return value.get_binary().size();
        default: // a number; an opening bracket
            return 1;
        }
    }
    /// A value of `bytes` (after a comma when `separated`); false when there are more values than
    /// the text so far allows.
    bool value(size_t bytes, bool separated) {
        text_ += bytes + size_t(separated);
        return ++values_ <= kMaxJsonValues + text_ / kJsonBytesPerValue;
    }
    /// The name of a member, with its quotes and colon.
    void member(size_t nameBytes, bool separated) { text_ += nameBytes + 3 + size_t(separated); }
    /// The end of a container.
    void close() { ++text_; }

  private:
    size_t values_ = 0;
    size_t text_ = 0;
};

/// "64 KB", "30.5 MB": a size for a message.
std::string describeBytes(size_t bytes);
/// A size beyond `bound` for a message: as describeBytes gives it, unless rounded so it would not
/// read as more than the bound ("64.0 KB" for a byte over 64 KB); then in bytes ("65537 bytes").
std::string describeBytesBeyond(size_t bytes, size_t bound);
/// The bound of JsonValueMeter, for a message: "a document holds at most ...".
std::string describeJsonValueBound();

/// Why data was not read.
struct JsonFailure {
    /// For data that is not JSON, the place and kind of the fault (a clause); for data beyond a
    /// bound, a sentence naming the bound.
    std::string reason;
    /// The data is not JSON (a syntax fault, no value at all, a number JSON cannot hold), as
    /// opposed to JSON beyond a bound.
    bool notJson = false;
};

/// Where the parts of a document go. A part is an element of the top-level array, an element of an
/// array that is the value of a member of the top-level object, or the value of another member of
/// that object. A handler refuses the document by throwing.
class JsonPartHandler {
  public:
    virtual ~JsonPartHandler() = default;
    /// The kind of the top-level value, before anything in it.
    virtual void top(nlohmann::ordered_json::value_t kind) = 0;
    /// Whether the member of the top-level object named `member` is read at all; the value of
    /// one that is not is only checked.
    virtual bool wants(const std::string& member) = 0;
    /// The member holds an array: its elements follow, each a part.
    virtual void list(const std::string& member) = 0;
    /// One part. `member` is empty for an element of the top-level array; `index` is the part's
    /// place in its array, nothing for the value of a member.
    virtual void part(const std::string& member, std::optional<size_t> index,
                      nlohmann::ordered_json&& value) = 0;
};

/// Reads a document of JSON text part by part: nothing when it was read, otherwise why not. The
/// first exception of the handler ends the handing over; the rest of the text is then only
/// checked, and the exception is thrown again once the text is known to be JSON within the
/// bounds (so that a document cut short is said to be so, whatever its parts).
std::optional<JsonFailure> readJsonDocument(std::string_view text, JsonPartHandler& handler);

/// The value of CBOR bytes, read whole; nothing for bytes that are not CBOR, exceed one of the
/// bounds above or hold a number that is not finite, with the reason in `error`.
std::optional<nlohmann::ordered_json> readCbor(const uint8_t* data, size_t size,
                                               std::string* error = nullptr);

} // namespace platform
