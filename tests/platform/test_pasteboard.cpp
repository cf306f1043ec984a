#include "platform/JsonReader.h"
#include "platform/Pasteboard.h"

#include <gtest/gtest.h>

#include <QMimeData>

#include <random>

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

TEST(Pasteboard, AnyDroppedBytesGiveAnObjectOrNothing) {
    // An array declaring 2^64 - 1 elements in 9 bytes, behind a map key.
    const char hugeArray[] = "\xa1\x61k\x9b\x7f\xff\xff\xff\xff\xff\xff\xff\x01\x02\x03";
    EXPECT_FALSE(propertyListObject(QByteArray(hugeArray, 15)).has_value());
    EXPECT_FALSE(propertyListObject(QByteArray("\x9b\x7f\xff\xff\xff\xff\xff\xff\xff", 9)).has_value());
    // Arrays of one array, a million deep.
    EXPECT_FALSE(propertyListObject(QByteArray(1'000'000, '\x81')).has_value());
    QByteArray deepMaps;
    for (int i = 0; i < 100'000; ++i)
        deepMaps.append("\xa1\x61k", 3);
    EXPECT_FALSE(propertyListObject(deepMaps).has_value());
    // Under a key nobody reads, two million empty maps (a byte each, tens of bytes in memory), or a
    // map of a thousand members (each compared with those before it).
    QByteArray manyMaps("\xa1\x61k\x9a\x00\x1e\x84\x80", 8);
    manyMaps.append(QByteArray(2'000'000, '\xa0'));
    EXPECT_FALSE(propertyListObject(manyMaps).has_value());
    QByteArray manyMembers("\xa1\x61k\xb9\x03\xe8", 6);
    for (int i = 0; i < 1000; ++i)
        manyMembers.append('\x63').append(QByteArray::number(1000 + i).right(3)).append('\0');
    EXPECT_FALSE(propertyListObject(manyMembers).has_value());
    // Random bytes: whatever comes out, nothing escapes.
    std::mt19937 rng(11);
    for (int i = 0; i < 2000; ++i) {
        QByteArray noise(int(rng() % 64), '\0');
        for (auto& c : noise)
            c = char(rng());
        (void)propertyListObject(noise);
    }
    // Half-precision NaN and infinity: values the application never writes.
    EXPECT_FALSE(propertyListObject(QByteArray("\xa1\x61n\xf9\x7e\x00", 6)).has_value());
    EXPECT_FALSE(propertyListObject(QByteArray("\x81\xf9\x7c\x00", 4)).has_value());
    EXPECT_TRUE(propertyListObject(QByteArray("\x81\xf9\x3c\x00", 4)).has_value()); // 1.0
    nlohmann::ordered_json nested = 1;
    for (int i = 0; i < 50; ++i)
        nested = nlohmann::ordered_json::array({nested});
    EXPECT_EQ(propertyListObject(propertyListData(nested)), nested);
}

TEST(Pasteboard, ATextFarBeyondARealOneIsRefused) {
    // A step's texts are a few kilobytes; one of megabytes would only stall what shows it.
    const auto step = [](size_t bytes) {
        return propertyListData({{"name", "Text"}, {"stringV", std::string(bytes, 't')}});
    };
    EXPECT_TRUE(propertyListObject(step(64 << 10)).has_value());
    EXPECT_FALSE(propertyListObject(step((64 << 10) + 1)).has_value());
    std::string error;
    const QByteArray over = step((64 << 10) + 1);
    EXPECT_FALSE(readCbor(reinterpret_cast<const uint8_t*>(over.data()), size_t(over.size()), &error));
    EXPECT_EQ(error, "The data holds a text of 65537 bytes; a text is at most 64 KB.");
    EXPECT_FALSE(propertyListObject(step(30 << 20)).has_value());
    EXPECT_FALSE(propertyListObject(propertyListData({{std::string(1 << 20, 'k'), 1}})).has_value());
}
