#pragma once

// Keyed encoding of the model: every class writes an ordered JSON object with its keys in a
// fixed order and reads one strictly (every key required, types checked, unknown keys ignored).
// The same encoding is carried by the documents (as JSON text) and by the pasteboard.

#include "ci/core/Context.h"
#include "platform/JsonReader.h"

#include <nlohmann/json.hpp>

#include <QUrl>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace model {

using Json = nlohmann::ordered_json;

/// A failed encoding or decoding. The message names the problem and the coding path.
class CodingError : public std::runtime_error {
  public:
    enum class Kind { KeyNotFound, ValueNotFound, TypeMismatch, DataCorrupted, InvalidValue };
    CodingError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

/// A number for the encoding; whole numbers are written without a fraction, as the documents
/// of earlier versions have them.
Json encodeNumber(double value);
/// The standard form of a URL in the encoding: its absolute, percent-encoded string.
Json encodeUrl(const QUrl& url);

/// Read access to one keyed container (a JSON object) at a coding path; it refers to the value,
/// which must outlive it. Every read throws CodingError when the key is missing or holds the
/// wrong kind of value.
class KeyedContainer {
  public:
    /// Throws a type mismatch when `value` is not an object.
    KeyedContainer(const Json& value, std::string codingPath);

    bool contains(const char* key) const;
    /// True when the key is missing or null (the reading of an optional field).
    bool isAbsent(const char* key) const;

    double decodeDouble(const char* key) const;
    int64_t decodeInt(const char* key) const;
    bool decodeBool(const char* key) const;
    std::string decodeString(const char* key) const;
    QUrl decodeUrl(const char* key) const;
    KeyedContainer nestedContainer(const char* key) const;
    /// The array under the key.
    const Json& decodeArray(const char* key) const;

    const std::string& codingPath() const { return path_; }
    /// The coding path of a key of this container.
    std::string pathOf(const std::string& key) const;

  private:
    const Json& require(const char* key) const;

    const Json& value_;
    std::string path_;
};

/// Checks that a value is an array (throws a type mismatch otherwise).
void requireArray(const Json& value, const std::string& codingPath);
/// Checks that a value is an object (throws a type mismatch otherwise).
void requireObject(const Json& value, const std::string& codingPath);
/// Checks that a value is a string (throws a type mismatch otherwise).
void requireString(const Json& value, const std::string& codingPath);
/// The error of a keyed container without the key.
CodingError keyNotFound(const char* key, const std::string& codingPath);

/// The JSON text of an encoding, compact, keys in their order, slashes escaped as "\/". What
/// could not be read again is not written: a number that is not finite, or a document beyond the
/// bounds of a document (platform/JsonReader.h): the result is then an error.
ci::Result<std::string> jsonText(const Json& encoding);
/// Reads the JSON text of a document part by part (platform::readJsonDocument). Text that is not
/// JSON, or beyond the bounds of a document, throws a data-corrupted error; what the handler
/// throws comes through.
void readJsonText(std::string_view text, platform::JsonPartHandler& handler);

} // namespace model
