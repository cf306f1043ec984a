#include "Pasteboard.h"

#include "JsonReader.h"

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
    // Dropped data comes from anywhere: any bytes give a value or nothing.
    return readCbor(reinterpret_cast<const std::uint8_t*>(data.constData()), size_t(data.size()));
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
