#include "platform/Pasteboard.h"

#include <gtest/gtest.h>

#include <QMimeData>

using namespace platform;

TEST(Pasteboard, PrivateTypeAndPropertyListForm) {
    const QString& type = filterPasteboardType();
    EXPECT_TRUE(type.endsWith(".Action"));
    EXPECT_EQ(type.count('.'), 3); // reverse DNS
    EXPECT_EQ(&type, &filterPasteboardType());

    nlohmann::ordered_json j = {{"name", "Step"}, {"a", 1.5}, {"whole", 2}, {"flag", true}, {"list", {1, 2}}};
    const QByteArray data = propertyListData(j);
    auto back = propertyListObject(data);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, j);
    EXPECT_EQ(back->begin().key(), "name"); // key order kept
    EXPECT_FALSE(propertyListObject(QByteArray("not cbor \xff", 10)).has_value());
    EXPECT_FALSE(propertyListObject(data.left(data.size() - 2)).has_value());

    QMimeData mime;
    EXPECT_FALSE(pasteboardData(mime, type).has_value());
    setPasteboardData(mime, type, data);
    ASSERT_TRUE(pasteboardData(mime, type).has_value());
    EXPECT_EQ(*pasteboardData(mime, type), data);
    EXPECT_FALSE(pasteboardData(mime, "text/plain").has_value());
}
