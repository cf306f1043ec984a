#include "Value.h"

#include "Context.h"

#include <sstream>

namespace ci {

std::array<float, 4> Color::linearStraight() const {
    return {srgbDecode(float(r)), srgbDecode(float(g)), srgbDecode(float(b)), float(a)};
}

std::array<float, 4> Color::linearPremultiplied() const {
    auto c = linearStraight();
    return {c[0] * c[3], c[1] * c[3], c[2] * c[3], c[3]};
}

const char* kindName(ValueKind k) {
    switch (k) {
    case ValueKind::None:
        return "nothing";
    case ValueKind::Number:
        return "number";
    case ValueKind::Boolean:
        return "Boolean";
    case ValueKind::String:
        return "text";
    case ValueKind::Vector:
        return "vector";
    case ValueKind::Color:
        return "colour";
    case ValueKind::Image:
        return "image";
    case ValueKind::Transform:
        return "transform";
    }
    return "?";
}

std::optional<double> Value::toNumber() const {
    if (auto d = std::get_if<double>(&v_))
        return *d;
    if (auto b = std::get_if<bool>(&v_))
        return *b ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<bool> Value::toBool() const {
    if (auto b = std::get_if<bool>(&v_))
        return *b;
    if (auto d = std::get_if<double>(&v_))
        return *d != 0;
    return std::nullopt;
}

Image Value::toImage() const {
    if (auto i = std::get_if<Image>(&v_))
        return *i;
    return Image();
}

std::string Value::describe() const {
    std::ostringstream s;
    switch (kind()) {
    case ValueKind::Number:
        s << *toNumber();
        break;
    case ValueKind::Boolean:
        s << (*toBool() ? "true" : "false");
        break;
    case ValueKind::String:
        s << '"' << *toString() << '"';
        break;
    case ValueKind::Vector: {
        s << "[";
        const auto& c = toVector()->components();
        for (size_t i = 0; i < c.size(); ++i)
            s << (i ? " " : "") << c[i];
        s << "]";
        break;
    }
    case ValueKind::Color: {
        const Color* c = toColor();
        s << "(" << c->r << " " << c->g << " " << c->b << " " << c->a << ")";
        break;
    }
    case ValueKind::Image:
        s << "image " << toImage().extent().toString();
        break;
    case ValueKind::Transform: {
        const Affine* t = toTransform();
        s << "[" << t->a << " " << t->b << " " << t->c << " " << t->d << " " << t->tx << " " << t->ty << "]";
        break;
    }
    case ValueKind::None:
        s << "nothing";
        break;
    }
    return s.str();
}

} // namespace ci
