#pragma once

#include "Geometry.h"
#include "Image.h"

#include <array>
#include <initializer_list>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace ci {

/// A vector of any number of components. Missing components read as 0.
class Vector {
  public:
    Vector() = default;
    Vector(std::initializer_list<double> v) : v_(v) {}
    explicit Vector(std::vector<double> v) : v_(std::move(v)) {}
    static Vector fromRect(const Rect& r) { return Vector{r.x0, r.y0, r.width(), r.height()}; }

    size_t count() const { return v_.size(); }
    double at(size_t i) const { return i < v_.size() ? v_[i] : 0.0; }
    double x() const { return at(0); }
    double y() const { return at(1); }
    double z() const { return at(2); }
    double w() const { return at(3); }
    const std::vector<double>& components() const { return v_; }
    /// (x, y, width, height) read as a rectangle.
    Rect rect() const { return Rect::make(x(), y(), z(), w()); }
    bool operator==(const Vector&) const = default;

  private:
    std::vector<double> v_;
};

/// A colour with sRGB components as given (not clamped). Filters read it linearised.
struct Color {
    double r = 0, g = 0, b = 0, a = 1;

    /// r, g, b through the sRGB decoding curve (sign preserved), alpha as is, premultiplied.
    std::array<float, 4> linearPremultiplied() const;
    /// r, g, b through the sRGB decoding curve, straight alpha.
    std::array<float, 4> linearStraight() const;
    bool operator==(const Color&) const = default;
};

enum class ValueKind { None, Number, Boolean, String, Vector, Color, Image, Transform };

const char* kindName(ValueKind k);

/// A filter input: nothing, number, Boolean, text, vector, colour, image or affine transform.
class Value {
  public:
    Value() = default;
    Value(double n) : v_(n) {}
    Value(int n) : v_(double(n)) {}
    Value(int64_t n) : v_(double(n)) {}
    Value(bool b) : v_(b) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(Vector v) : v_(std::move(v)) {}
    Value(Color c) : v_(c) {}
    Value(Image i) : v_(std::move(i)) {}
    Value(Affine t) : v_(t) {}

    ValueKind kind() const { return ValueKind(v_.index()); }
    bool isNone() const { return v_.index() == 0; }

    /// Numbers and Booleans read as numbers (true = 1).
    std::optional<double> toNumber() const;
    std::optional<bool> toBool() const;
    const std::string* toString() const { return std::get_if<std::string>(&v_); }
    const Vector* toVector() const { return std::get_if<Vector>(&v_); }
    const Color* toColor() const { return std::get_if<Color>(&v_); }
    /// A null image unless this value holds an image.
    Image toImage() const;
    const Affine* toTransform() const { return std::get_if<Affine>(&v_); }

    /// Short description for console lines.
    std::string describe() const;

  private:
    std::variant<std::monostate, double, bool, std::string, Vector, Color, Image, Affine> v_;
};

/// The inputs of one filter application, by key.
using Dictionary = std::map<std::string, Value>;

} // namespace ci
