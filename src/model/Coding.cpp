#include "Coding.h"

#include "platform/FilePath.h"
#include "platform/JsonReader.h"

#include <cmath>
#include <limits>

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

// Finds the first non-finite number of an encoding, with its path.
bool findNonFinite(const Json& v, const std::string& path, std::string& where, double& number) {
    if (v.is_number_float() && !std::isfinite(v.get<double>())) {
        where = path;
        number = v.get<double>();
        return true;
    }
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it)
            if (findNonFinite(it.value(), joinPath(path, it.key()), where, number))
                return true;
    } else if (v.is_array()) {
        for (size_t i = 0; i < v.size(); ++i)
            if (findNonFinite(v[i], joinPath(path, std::to_string(i)), where, number))
                return true;
    }
    return false;
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
    if (!value_.is_object())
        mismatch("Dictionary<String, Any>", value_, path_);
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
        throw CodingError(CodingError::Kind::KeyNotFound,
                          std::string("No value associated with key \"") + key + "\" " + at(path_) + ".");
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

ci::Result<std::string> jsonText(const Json& encoding) {
    std::string where;
    double number = 0;
    if (findNonFinite(encoding, "", where, number))
        return ci::Result<std::string>::failure("Unable to encode the number " + std::to_string(number) +
                                                " directly in JSON " + at(where) + ".");
    std::string text;
    try {
        text = encoding.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const std::exception& e) {
        return ci::Result<std::string>::failure(std::string("Unable to encode the value: ") + e.what());
    }
    // Outside strings compact JSON has no slash, so escaping every one only touches strings.
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '/')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

Json parseJsonText(const std::string& text) {
    std::string reason;
    auto value = platform::readJson(text, &reason);
    if (!value)
        throw CodingError(CodingError::Kind::DataCorrupted, "The given data was not valid JSON: " + reason);
    return std::move(*value);
}

} // namespace model
