#include "JsonReader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <new>
#include <optional>
#include <regex>
#include <utility>
#include <vector>

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

// Builds the value from the parser's events, refusing to open a container beyond the limit.
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
    bool add(Json v) {
        place(std::move(v));
        return true;
    }
    bool open(Json container) {
        if (open_.size() >= kMaxJsonNesting) {
            error_ = "the data nests deeper than " + std::to_string(kMaxJsonNesting) + " levels";
            return false;
        }
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
    static const std::regex form(
        R"(at line (\d+), column (\d+): (?:syntax error while parsing [^-]* - )?(.*))");
    std::smatch m;
    if (!std::regex_search(message, m, form))
        return message;
    const std::string where = "at line " + m[1].str() + ", column " + m[2].str();
    std::string problem = m[3].str();
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
        for (long line = std::stol(m[1].str()); line > 1 && at < text.size(); ++at)
            line -= text[at] == '\n';
        at = std::min(text.size() - 1, at + size_t(std::max(1L, std::stol(m[2].str()))) - 1);
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
std::optional<Json> read(Parse&& parse, std::string* error, std::optional<std::string_view> text = {}) {
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
    return read([&](BoundedBuilder& b) { return Json::sax_parse(text, &b); }, error, text);
}

std::optional<Json> readCbor(const uint8_t* data, size_t size, std::string* error) {
    return read(
        [&](BoundedBuilder& b) {
            return Json::sax_parse(data, data + size, &b, nlohmann::json::input_format_t::cbor, true);
        },
        error);
}

} // namespace platform
