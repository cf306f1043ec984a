#include "JsonReader.h"

#include <cmath>
#include <new>
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
        return false;
    }

    Json& root() { return root_; }
    const std::string& error() const { return error_; }

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
};

template <class Parse> std::optional<Json> read(Parse&& parse, std::string* error) {
    BoundedBuilder builder;
    std::string reason;
    try {
        if (parse(builder))
            return std::move(builder.root());
        reason = builder.error().empty() ? std::string("the data ends early") : builder.error();
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
    return read([&](BoundedBuilder& b) { return Json::sax_parse(text, &b); }, error);
}

std::optional<Json> readCbor(const uint8_t* data, size_t size, std::string* error) {
    return read(
        [&](BoundedBuilder& b) {
            return Json::sax_parse(data, data + size, &b, nlohmann::json::input_format_t::cbor, true);
        },
        error);
}

} // namespace platform
