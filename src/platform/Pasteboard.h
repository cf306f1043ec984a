#pragma once

// The pasteboard form of the application's own objects. An object travels as its keyed
// encoding, serialised as CBOR (a compact binary form that keeps key order, numbers, Booleans
// and strings exactly) under a private format in QMimeData.

#include <nlohmann/json.hpp>

#include <QByteArray>
#include <QString>

#include <optional>

class QMimeData;

namespace platform {

/// The private format of a workflow step: a reverse-DNS identifier ending in ".Action".
const QString& filterPasteboardType();

/// Serialises a keyed encoding for the pasteboard.
QByteArray propertyListData(const nlohmann::ordered_json& encoding);
/// Reads a keyed encoding back; nothing for data that is not such a serialisation.
std::optional<nlohmann::ordered_json> propertyListObject(const QByteArray& data);

void setPasteboardData(QMimeData& mime, const QString& type, const QByteArray& data);
/// The data stored under `type`, or nothing when the mime data has no such format.
std::optional<QByteArray> pasteboardData(const QMimeData& mime, const QString& type);

} // namespace platform
