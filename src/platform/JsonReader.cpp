#include "JsonReader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

/// Why a text of `bytes` is refused.
JsonFailure overlongText(size_t bytes) {
    return JsonFailure{"The data holds a text of " + describeBytesBeyond(bytes, kMaxJsonTextBytes) +
                           "; a text is at most " + describeBytes(kMaxJsonTextBytes) + ".",
                       false};
}

/// The length, as written, of the first text of a JSON document too long to hold at most
/// kMaxJsonTextBytes however it is escaped (a character takes six bytes at the most); 0 when there
/// is none. Found by looking for quotes alone, many times faster than the parser, which reads a
/// text whole before it can be refused.
size_t overlongTextBytes(std::string_view text) {
    constexpr size_t most = kMaxJsonTextBytes * 6;
    for (size_t at = 0;;) {
        const size_t open = text.find('"', at);
        if (open == std::string_view::npos)
            return 0;
        size_t close = open;
        for (;;) {
            close = text.find('"', close + 1);
            if (close == std::string_view::npos)
                return 0; // a text that never ends: the parser says so
            // A quote is escaped after an odd number of backslashes.
            size_t slashes = 0;
            while (close - slashes > open + 1 && text[close - 1 - slashes] == '\\')
                ++slashes;
            if (slashes % 2 == 0)
                break;
        }
        if (close - open - 1 > most)
            return close - open - 1;
        at = close + 1;
    }
}

// Builds values from the parser's events. Read whole (no handler), the one value is kept. Read in
// parts, each part is built alone and handed to the handler, and what the handler does not want
// (or everything after it has refused a part) is only checked. Either way containers nested beyond
// the limit, too many values, an object of too many members and an overlong text are refused.
class Builder {
  public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    /// Without a handler, the value is read whole and holds at most kMaxJsonValues values; with
    /// one, its values are bounded by its text (JsonValueMeter).
    explicit Builder(JsonPartHandler* handler) : handler_(handler) {}

    bool null() { return scalar(nullptr); }
    bool boolean(bool v) { return scalar(v); }
    bool number_integer(number_integer_t v) { return scalar(v); }
    bool number_unsigned(number_unsigned_t v) { return scalar(v); }
    bool number_float(number_float_t v, const string_t&) {
        // The application never writes infinities or NaN (JSON cannot hold them), so a value
        // with one did not come from it.
        if (!std::isfinite(v)) {
            failure_ = JsonFailure{"the data holds a number that is not finite", true};
            return false;
        }
        return scalar(v);
    }
    bool string(string_t& v) { return text(v.size()) && scalar(std::move(v)); }
    bool binary(binary_t& v) { return text(v.size()) && scalar(Json::binary(std::move(v))); }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool key(string_t& k) {
        if (!text(k.size()))
            return false;
        Frame& frame = frames_.back();
        // Each key is looked for among the members before it (one met again replaces its value),
        // so an object of many members would take quadratic time.
        if (++frame.items > kMaxJsonMembers)
            return bound("The data has an object of more than " + std::to_string(kMaxJsonMembers) +
                         " members.");
        meter_.member(k.size(), frame.items > 1);
        if (frame.role == Role::Members) {
            member_ = std::move(k);
            wanted_ = false;
            if (!failed_)
                attempt([&] { wanted_ = handler_->wants(member_); });
        } else if (frame.role == Role::Built) {
            key_ = std::move(k);
        }
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const Json::exception& e) {
        failure_ = JsonFailure{e.what(), true};
        syntax_ = true;
        return false;
    }

    Json& root() { return root_; }
    const std::optional<JsonFailure>& failure() const { return failure_; }
    /// failure() holds the parser's own words for a syntax error.
    bool syntaxError() const { return syntax_; }
    /// Throws what the handler threw, if it did.
    void rethrow() const {
        if (handlerError_)
            std::rethrow_exception(handlerError_);
    }

  private:
    // What becomes of the values in a container.
    enum class Role {
        Members, ///< the top-level object of a document: a member's value is a part, or a list
        Parts,   ///< the top-level array of a document, or a list: each element is a part
        Built,   ///< in a part: built into it
        Checked, ///< no one's: only checked
    };
    struct Frame {
        Role role;
        bool object;
        size_t items = 0; ///< members or elements so far
    };
    // What becomes of the value that comes next.
    enum class Fate { Top, Part, Built, Checked };

    Fate fate(size_t index) {
        if (frames_.empty())
            return handler_ ? Fate::Top : Fate::Part;
        switch (frames_.back().role) {
        case Role::Members:
            if (failed_ || !wanted_)
                return Fate::Checked;
            partMember_ = member_;
            partIndex_.reset();
            return Fate::Part;
        case Role::Parts:
            if (failed_)
                return Fate::Checked;
            partMember_ = listMember_;
            partIndex_ = index;
            return Fate::Part;
        case Role::Built:
            return Fate::Built;
        case Role::Checked:
            break;
        }
        return Fate::Checked;
    }

    // Counts the value that comes next; its place in its array, if it is in one.
    bool count(const Json& v, size_t& index) {
        index = 0;
        bool separated = false;
        if (!frames_.empty() && !frames_.back().object) {
            index = frames_.back().items++;
            separated = index > 0;
        }
        if (!handler_) {
            if (++values_ <= kMaxJsonValues)
                return true;
            return bound("The data holds more than " + std::to_string(kMaxJsonValues) + " values.");
        }
        if (meter_.value(JsonValueMeter::bytes(v), separated))
            return true;
        return bound("The data holds more values than its text allows: " + describeJsonValueBound() + ".");
    }

    bool scalar(Json&& v) {
        size_t index = 0;
        if (!count(v, index))
            return false;
        switch (fate(index)) {
        case Fate::Top:
            attempt([&] { handler_->top(v.type()); });
            return true;
        case Fate::Part:
            if (!live())
                return false;
            deliver(std::move(v));
            return true;
        case Fate::Built:
            if (!live())
                return false;
            place(std::move(v));
            return true;
        case Fate::Checked:
            break;
        }
        return true;
    }

    bool open(bool object) {
        if (frames_.size() >= kMaxJsonNesting)
            return bound("The data nests deeper than " + std::to_string(kMaxJsonNesting) + " levels.");
        Json container = object ? Json::object() : Json::array();
        size_t index = 0;
        if (!count(container, index))
            return false;
        Role role = Role::Checked;
        switch (fate(index)) {
        case Fate::Top:
            attempt([&] { handler_->top(container.type()); });
            role = object ? Role::Members : Role::Parts;
            listMember_.clear();
            break;
        case Fate::Part:
            if (!object && !frames_.empty() && frames_.back().role == Role::Members) {
                // A member of the top-level object that holds an array: its elements are the parts.
                listMember_ = member_;
                attempt([&] { handler_->list(listMember_); });
                role = failed_ ? Role::Checked : Role::Parts;
                break;
            }
            if (!live())
                return false;
            part_ = std::move(container);
            open_.assign(1, &part_);
            role = Role::Built;
            break;
        case Fate::Built:
            if (!live())
                return false;
            open_.push_back(place(std::move(container)));
            role = Role::Built;
            break;
        case Fate::Checked:
            break;
        }
        frames_.push_back({role, object});
        return true;
    }

    bool close() {
        const Role role = frames_.back().role;
        frames_.pop_back();
        meter_.close();
        if (role == Role::Built) {
            open_.pop_back();
            if (open_.empty())
                deliver(std::move(part_));
        }
        return true;
    }

    // Where the next value of the part goes; the containers on the stack are only appended to
    // while they are the innermost one, so the pointers to them stay valid.
    Json* place(Json&& v) {
        Json& top = *open_.back();
        if (top.is_array()) {
            top.push_back(std::move(v));
            return &top.back();
        }
        Json& slot = top[key_];
        slot = std::move(v);
        return &slot;
    }

    void deliver(Json&& v) {
        live_ = 0;
        if (handler_)
            attempt([&] { handler_->part(partMember_, partIndex_, std::move(v)); });
        else
            root_ = std::move(v);
    }

    // A refusal of the handler ends the handing over; it is kept to be thrown again.
    template <class F> void attempt(F&& call) {
        try {
            call();
        } catch (...) {
            handlerError_ = std::current_exception();
            failed_ = true;
        }
    }

    // A value of the part being built.
    bool live() {
        if (++live_ <= kMaxJsonValues)
            return true;
        return bound("A part of the data holds more than " + std::to_string(kMaxJsonValues) + " values.");
    }
    bool text(size_t bytes) {
        if (bytes <= kMaxJsonTextBytes)
            return true;
        failure_ = overlongText(bytes);
        return false;
    }
    bool bound(std::string reason) {
        failure_ = JsonFailure{std::move(reason), false};
        return false;
    }

    JsonPartHandler* handler_;
    std::vector<Frame> frames_;
    size_t values_ = 0;
    JsonValueMeter meter_;
    size_t live_ = 0;
    Json root_;
    Json part_;
    std::vector<Json*> open_;
    string_t key_;
    std::string member_;
    bool wanted_ = false;
    std::string listMember_;
    std::string partMember_;
    std::optional<size_t> partIndex_;
    bool failed_ = false;
    std::exception_ptr handlerError_;
    std::optional<JsonFailure> failure_;
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
std::optional<JsonFailure> parseWith(Builder& builder, Parse&& parse,
                                     std::optional<std::string_view> text = std::nullopt) {
    try {
        if (parse(builder))
            return std::nullopt;
        JsonFailure failure = builder.failure().value_or(JsonFailure{"the data ends early", true});
        // Said for a person reading the document, with the place of the fault.
        if (text && builder.syntaxError())
            failure.reason = describeSyntaxError(failure.reason, *text);
        return failure;
    } catch (const std::bad_alloc&) {
        return JsonFailure{"There is not enough memory to read the data.", false};
    } catch (const std::exception& e) {
        return JsonFailure{e.what(), true};
    }
}

const char* const kByteUnits[] = {"bytes", "KB", "MB", "GB"};

/// The unit describeBytes gives `bytes` in: its place in kByteUnits.
size_t unitOf(size_t bytes) {
    size_t unit = 0;
    while (unit + 1 < std::size(kByteUnits) && (bytes >> (10 * (unit + 1))) > 0)
        ++unit;
    return unit;
}

} // namespace

std::string describeBytes(size_t bytes) {
    const size_t unit = unitOf(bytes);
    const size_t scale = size_t(1) << (10 * unit);
    if (bytes % scale == 0)
        return std::to_string(bytes / scale) + " " + kByteUnits[unit];
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", double(bytes) / double(scale), kByteUnits[unit]);
    return text;
}

std::string describeBytesBeyond(size_t bytes, size_t bound) {
    const double scale = double(size_t(1) << (10 * unitOf(bytes)));
    // describeBytes rounds to a tenth of the unit: just beyond the bound it would show the bound.
    if (bytes > bound && std::round(double(bytes) * 10 / scale) * scale <= double(bound) * 10)
        return std::to_string(bytes) + " bytes";
    return describeBytes(bytes);
}

std::string describeJsonValueBound() {
    return "a document holds at most " + std::to_string(kMaxJsonValues) + " values and one more for every " +
           std::to_string(kJsonBytesPerValue) + " bytes of its text";
}

std::optional<JsonFailure> readJsonDocument(std::string_view text, JsonPartHandler& handler) {
    if (text.size() > kMaxJsonDocumentBytes)
        return JsonFailure{"The data is larger than " + describeBytes(kMaxJsonDocumentBytes) + ".", false};
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return JsonFailure{"it is empty", true};
    if (const size_t bytes = overlongTextBytes(text))
        return overlongText(bytes);
    Builder builder(&handler);
    if (auto failure = parseWith(
            builder, [&](Builder& b) { return Json::sax_parse(text, &b); }, text))
        return failure;
    builder.rethrow();
    return std::nullopt;
}

std::optional<Json> readCbor(const uint8_t* data, size_t size, std::string* error) {
    Builder builder(nullptr);
    std::optional<JsonFailure> failure;
    if (size > kMaxJsonBytes)
        failure = JsonFailure{"The data is larger than " + describeBytes(kMaxJsonBytes) + ".", false};
    else
        failure = parseWith(builder, [&](Builder& b) {
            return Json::sax_parse(data, data + size, &b, nlohmann::json::input_format_t::cbor, true);
        });
    if (!failure)
        return std::move(builder.root());
    if (error)
        *error = failure->reason;
    return std::nullopt;
}

} // namespace platform
