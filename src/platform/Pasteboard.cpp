#include "Pasteboard.h"

#include <QMimeData>

#include <cstdint>
#include <vector>

namespace platform {

const QString& filterPasteboardType() {
    static const QString type = QStringLiteral("org.glimmerworks.workflow.Action");
    return type;
}

QByteArray propertyListData(const nlohmann::ordered_json& encoding) {
    const std::vector<std::uint8_t> bytes = nlohmann::ordered_json::to_cbor(encoding);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

std::optional<nlohmann::ordered_json> propertyListObject(const QByteArray& data) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(data.constData());
    auto parsed = nlohmann::ordered_json::from_cbor(begin, begin + data.size(), /*strict=*/true,
                                                    /*allow_exceptions=*/false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

void setPasteboardData(QMimeData& mime, const QString& type, const QByteArray& data) {
    mime.setData(type, data);
}

std::optional<QByteArray> pasteboardData(const QMimeData& mime, const QString& type) {
    if (!mime.hasFormat(type))
        return std::nullopt;
    return mime.data(type);
}

} // namespace platform
