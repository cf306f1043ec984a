#include "JsonReader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

// Builds the value from the parser's events, refusing a container nested beyond the limit, a value
// beyond the count and a member beyond an object's share.
class BoundedBuilder {
  public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    bool null() { return add(nullptr); }
    bool boolean(bool v) { return add(v); }
    bool number_integer(number_integer_t v) { return add(v); }
    bool number_unsigned(number_unsigned_t v) { return add(v); }
    bool number_float(number_float_t v, const string_t&) {
        // The application never writes infinities or NaN (JSON cannot hold them), so a value
        // with one did not come from it.
        if (!std::isfinite(v)) {
            error_ = "the data holds a number that is not finite";
            return false;
        }
        return add(v);
    }
    bool string(string_t& v) { return add(std::move(v)); }
    bool binary(binary_t& v) { return add(Json::binary(std::move(v))); }
    bool start_object(std::size_t) { return open(Json::object()); }
    bool key(string_t& k) {
        // Each key is looked for among the members before it (one met again replaces its value),
        // so an object of many members would take quadratic time.
        if (open_.back()->size() >= kMaxJsonMembers) {
            error_ = "an object of the data has more than " + std::to_string(kMaxJsonMembers) + " members";
            return false;
        }
        key_ = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const Json::exception& e) {
        error_ = e.what();
        syntax_ = true;
        return false;
    }

    Json& root() { return root_; }
    const std::string& error() const { return error_; }
    /// error() holds the parser's own words for a syntax error.
    bool syntaxError() const { return syntax_; }

  private:
    // Where the next value goes; the containers on the stack are only appended to while they
    // are the innermost one, so the pointers to them stay valid.
    Json* place(Json&& v) {
        if (open_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        Json& top = *open_.back();
        if (top.is_array()) {
            top.push_back(std::move(v));
            return &top.back();
        }
        Json& slot = top[key_];
        slot = std::move(v);
        return &slot;
    }
    bool count() {
        if (++values_ <= kMaxJsonValues)
            return true;
        error_ = "the data holds more than " + std::to_string(kMaxJsonValues) + " values";
        return false;
    }
    bool add(Json v) {
        if (!count())
            return false;
        place(std::move(v));
        return true;
    }
    bool open(Json container) {
        if (open_.size() >= kMaxJsonNesting) {
            error_ = "the data nests deeper than " + std::to_string(kMaxJsonNesting) + " levels";
            return false;
        }
        if (!count())
            return false;
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Json root_;
    std::vector<Json*> open_;
    string_t key_;
    size_t values_ = 0;
    std::string error_;
    bool syntax_ = false;
};

std::string quoted(const std::string& text) {
    return "“" + text + "”";
}

/// A syntax error in words, with its line and column, from the parser's message ("parse error at
/// line 1, column 3: syntax error while parsing object key - invalid literal; last read: '{no';
/// expected string literal").
std::string describeSyntaxError(const std::string& message, std::string_view text) {
    // Read by hand: a pattern matcher recurses once a character, and the message quotes as much
    // of a hostile document as it likes.
    const size_t lineAt = message.find("at line ");
    if (lineAt == std::string::npos)
        return message;
    size_t at = lineAt + 8;
    const auto number = [&](size_t& i) -> std::optional<long> {
        const size_t begin = i;
        while (i < message.size() && i - begin < 9 && std::isdigit(static_cast<unsigned char>(message[i])))
            ++i;
        if (i == begin)
            return std::nullopt;
        return std::stol(message.substr(begin, i - begin));
    };
    const std::optional<long> lineNumber = number(at);
    if (!lineNumber || message.compare(at, 9, ", column ") != 0)
        return message;
    at += 9;
    const std::optional<long> columnNumber = number(at);
    if (!columnNumber || message.compare(at, 2, ": ") != 0)
        return message;
    at += 2;
    static const std::string parsing = "syntax error while parsing ";
    if (message.compare(at, parsing.size(), parsing) == 0)
        if (const size_t dash = message.find(" - ", at); dash != std::string::npos)
            at = dash + 3;
    const std::string where =
        "at line " + std::to_string(*lineNumber) + ", column " + std::to_string(*columnNumber);
    std::string problem = message.substr(at);
    std::string expected;
    if (const auto at = problem.find("; last read"); at != std::string::npos) {
        const auto next = problem.find("; expected ", at);
        problem.erase(at, next == std::string::npos ? std::string::npos : next - at);
    }
    if (const auto at = problem.find("; expected "); at != std::string::npos) {
        expected = problem.substr(at + 11);
        problem.erase(at);
    }

    std::string what;
    if (problem == "unexpected end of input") {
        what = "the text ends too early";
    } else if (problem.rfind("unexpected '", 0) == 0 && problem.size() > 13) {
        what = quoted(problem.substr(12, problem.size() - 13)) + " is out of place";
    } else if (problem.rfind("unexpected ", 0) == 0) {
        // "unexpected number literal": a number, a string, true, false or null out of place
        std::string token = problem.substr(11);
        if (const auto end = token.find(" literal"); end != std::string::npos)
            token.erase(end);
        what = "a " + token + " is out of place";
    } else if (problem == "invalid literal") {
        // The word of the text where the parser stopped.
        size_t at = 0;
        for (long line = *lineNumber; line > 1 && at < text.size(); ++at)
            line -= text[at] == '\n';
        at = std::min(text.size() - 1, at + size_t(std::max(1L, *columnNumber)) - 1);
        const auto letter = [&](size_t i) { return std::isalnum(static_cast<unsigned char>(text[i])) != 0; };
        if (!letter(at) && at > 0)
            --at;
        size_t begin = at, end = at;
        while (begin > 0 && letter(begin - 1))
            --begin;
        while (end < text.size() && letter(end))
            ++end;
        what = end > begin ? quoted(std::string(text.substr(begin, std::min<size_t>(end - begin, 20)))) +
                                 " is not a JSON value"
                           : std::string("a word is not a JSON value");
    } else if (problem.rfind("invalid string: ", 0) == 0) {
        what = "a string is not valid (" + problem.substr(16) + ")";
    } else if (problem.rfind("invalid number", 0) == 0) {
        what = "a number is not valid";
    } else {
        what = problem;
    }

    if (expected == "'[', '{', or a literal" || expected == "value")
        expected = "a value";
    else if (expected == "string literal")
        expected = "a name in quotes";
    else if (expected == "end of input")
        expected = "nothing more";
    else if (expected.size() == 3 && expected.front() == '\'' && expected.back() == '\'')
        expected = quoted(expected.substr(1, 1));
    return where + ", " + what + (expected.empty() ? std::string() : "; " + expected + " was expected");
}

template <class Parse>
std::optional<Json> read(size_t size, Parse&& parse, std::string* error,
                         std::optional<std::string_view> text = {}) {
    if (size > kMaxJsonBytes) {
        if (error)
            *error = "the data is larger than " + std::to_string(kMaxJsonBytes >> 20) + " MB";
        return std::nullopt;
    }
    BoundedBuilder builder;
    std::string reason;
    try {
        if (parse(builder))
            return std::move(builder.root());
        reason = builder.error().empty() ? std::string("the data ends early") : builder.error();
        // Said for a person reading the document, with the place of the fault.
        if (text && builder.syntaxError())
            reason = describeSyntaxError(reason, *text);
    } catch (const std::bad_alloc&) {
        reason = "not enough memory to read the data";
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (error)
        *error = reason;
    return std::nullopt;
}

} // namespace

std::optional<Json> readJson(std::string_view text, std::string* error) {
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        if (error)
            *error = "it is empty";
        return std::nullopt;
    }
    return read(
        text.size(), [&](BoundedBuilder& b) { return Json::sax_parse(text, &b); }, error, text);
}

std::optional<Json> readCbor(const uint8_t* data, size_t size, std::string* error) {
    return read(
        size,
        [&](BoundedBuilder& b) {
            return Json::sax_parse(data, data + size, &b, nlohmann::json::input_format_t::cbor, true);
        },
        error);
}

} // namespace platform
