#include "Coding.h"

#include "platform/FilePath.h"
#include "platform/JsonReader.h"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace model {

namespace {

std::string describeKind(const Json& v) {
    switch (v.type()) {
    case Json::value_t::null:
        return "null";
    case Json::value_t::boolean:
        return "a Boolean";
    case Json::value_t::string:
        return "a string";
    case Json::value_t::array:
        return "an array";
    case Json::value_t::object:
        return "a dictionary";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
        return "a number";
    default:
        return "an unsupported value";
    }
}

std::string at(const std::string& path) {
    return path.empty() ? "at the top level" : "at \"" + path + "\"";
}

[[noreturn]] void mismatch(const char* expected, const Json& found, const std::string& path) {
    if (found.is_null())
        throw CodingError(CodingError::Kind::ValueNotFound, std::string("Expected ") + expected +
                                                                " value but found null instead " + at(path) +
                                                                ".");
    throw CodingError(CodingError::Kind::TypeMismatch, std::string("Expected to decode ") + expected +
                                                           " but found " + describeKind(found) + " instead " +
                                                           at(path) + ".");
}

std::string joinPath(const std::string& base, const std::string& key) {
    return base.empty() ? key : base + "/" + key;
}

// Walks an encoding in the order of its text: finds the first value that could not be read again
// (a number JSON cannot hold, a text longer than a document's, a value beyond what the text before
// it allows), whose path is gathered as the walk unwinds (`path` holds its keys innermost first).
bool writable(const Json& v, bool separated, platform::JsonValueMeter& meter, std::string& problem,
              std::vector<std::string>& path) {
    if (!meter.value(platform::JsonValueMeter::bytes(v), separated)) {
        problem = "the document holds more values up to it than its text allows (" +
                  platform::describeJsonValueBound() + ").";
        return false;
    }
    if (v.is_number_float() && !std::isfinite(v.get<double>())) {
        problem = "the number " + std::to_string(v.get<double>()) + " cannot be written in JSON.";
        return false;
    }
    // The names of members are the application's own, and short.
    if (v.is_string() && v.get_ref<const std::string&>().size() > platform::kMaxJsonTextBytes) {
        problem = "the text is " +
                  platform::describeBytesBeyond(v.get_ref<const std::string&>().size(),
                                                platform::kMaxJsonTextBytes) +
                  " long; a text of a document is at most " +
                  platform::describeBytes(platform::kMaxJsonTextBytes) + ".";
        return false;
    }
    if (v.is_object()) {
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            meter.member(it.key().size(), !std::exchange(first, false));
            if (!writable(it.value(), false, meter, problem, path)) {
                path.push_back(it.key());
                return false;
            }
        }
    } else if (v.is_array()) {
        for (size_t i = 0; i < v.size(); ++i) {
            if (!writable(v[i], i > 0, meter, problem, path)) {
                path.push_back(std::to_string(i));
                return false;
            }
        }
    }
    if (v.is_structured())
        meter.close();
    return true;
}

} // namespace

Json encodeNumber(double value) {
    // 2^53: beyond it not every whole number is exact, so keep those as floating point.
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
        return Json(int64_t(value));
    return Json(value);
}

Json encodeUrl(const QUrl& url) {
    return Json(url.toString(QUrl::FullyEncoded).toStdString());
}

KeyedContainer::KeyedContainer(const Json& value, std::string codingPath)
    : value_(value), path_(std::move(codingPath)) {
    requireObject(value_, path_);
}

bool KeyedContainer::contains(const char* key) const {
    return value_.contains(key);
}

bool KeyedContainer::isAbsent(const char* key) const {
    auto it = value_.find(key);
    return it == value_.end() || it->is_null();
}

std::string KeyedContainer::pathOf(const std::string& key) const {
    return joinPath(path_, key);
}

const Json& KeyedContainer::require(const char* key) const {
    auto it = value_.find(key);
    if (it == value_.end())
        throw keyNotFound(key, path_);
    return *it;
}

double KeyedContainer::decodeDouble(const char* key) const {
    const Json& v = require(key);
    if (!v.is_number())
        mismatch("Double", v, pathOf(key));
    return v.get<double>();
}

int64_t KeyedContainer::decodeInt(const char* key) const {
    const Json& v = require(key);
    if (v.is_number_integer() && !v.is_number_unsigned())
        return v.get<int64_t>();
    if (v.is_number_unsigned()) {
        const uint64_t u = v.get<uint64_t>();
        if (u <= uint64_t(std::numeric_limits<int64_t>::max()))
            return int64_t(u);
    } else if (v.is_number_float()) {
        // A whole number written with a fraction part still reads as an integer.
        const double d = v.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return int64_t(d);
    } else {
        mismatch("Int", v, pathOf(key));
    }
    throw CodingError(CodingError::Kind::DataCorrupted,
                      "Parsed JSON number <" + v.dump() + "> does not fit in Int " + at(pathOf(key)) + ".");
}

bool KeyedContainer::decodeBool(const char* key) const {
    const Json& v = require(key);
    if (!v.is_boolean())
        mismatch("Bool", v, pathOf(key));
    return v.get<bool>();
}

std::string KeyedContainer::decodeString(const char* key) const {
    const Json& v = require(key);
    if (!v.is_string())
        mismatch("String", v, pathOf(key));
    return v.get<std::string>();
}

QUrl KeyedContainer::decodeUrl(const char* key) const {
    const Json& v = require(key);
    if (!v.is_string())
        mismatch("String", v, pathOf(key));
    const QString text = QString::fromStdString(v.get<std::string>());
    // An empty string stands for "no file" (a resource that could not be found when written).
    if (text.isEmpty())
        return QUrl();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        throw CodingError(CodingError::Kind::DataCorrupted, "Invalid URL string " + at(pathOf(key)) + ".");
    if (!platform::isValidPath(url.path(QUrl::FullyDecoded)))
        throw CodingError(CodingError::Kind::DataCorrupted,
                          "The URL " + at(pathOf(key)) + " is " + platform::kNotAFileName + ".");
    return url;
}

KeyedContainer KeyedContainer::nestedContainer(const char* key) const {
    return {require(key), pathOf(key)};
}

const Json& KeyedContainer::decodeArray(const char* key) const {
    const Json& v = require(key);
    requireArray(v, pathOf(key));
    return v;
}

void requireArray(const Json& value, const std::string& codingPath) {
    if (!value.is_array())
        mismatch("Array<Any>", value, codingPath);
}

void requireObject(const Json& value, const std::string& codingPath) {
    if (!value.is_object())
        mismatch("Dictionary<String, Any>", value, codingPath);
}

void requireString(const Json& value, const std::string& codingPath) {
    if (!value.is_string())
        mismatch("String", value, codingPath);
}

CodingError keyNotFound(const char* key, const std::string& codingPath) {
    return CodingError(CodingError::Kind::KeyNotFound,
                       std::string("No value associated with key \"") + key + "\" " + at(codingPath) + ".");
}

ci::Result<std::string> jsonText(const Json& encoding) {
    using Failure = ci::Result<std::string>;
    platform::JsonValueMeter meter;
    std::string problem;
    std::vector<std::string> keys;
    if (!writable(encoding, false, meter, problem, keys)) {
        std::string where;
        for (auto key = keys.rbegin(); key != keys.rend(); ++key)
            where = joinPath(where, *key);
        return Failure::failure("Unable to encode the value " + at(where) + ": " + problem);
    }
    std::string text;
    try {
        text = encoding.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const std::exception& e) {
        return Failure::failure(std::string("Unable to encode the value: ") + e.what());
    }
    // Outside strings compact JSON has no slash, so escaping every one only touches strings.
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '/')
            escaped += '\\';
        escaped += c;
    }
    // What is written must open again.
    if (escaped.size() > platform::kMaxJsonDocumentBytes)
        return Failure::failure("Unable to encode the document: it would be " +
                                platform::describeBytes(escaped.size()) + ", and a document is at most " +
                                platform::describeBytes(platform::kMaxJsonDocumentBytes) + ".");
    return escaped;
}

void readJsonText(std::string_view text, platform::JsonPartHandler& handler) {
    if (auto failure = platform::readJsonDocument(text, handler))
        throw CodingError(CodingError::Kind::DataCorrupted,
                          failure->notJson ? "The given data was not valid JSON: " + failure->reason
                                           : failure->reason);
}

} // namespace model
