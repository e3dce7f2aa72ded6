// Key texts as bytes: UTF-8 shown as UTF-8, anything else as Windows-1252, and cuts that never
// split a UTF-8 character.
#include "ui/models/key_text.h"

#include <QTest>

class KeyTextTest : public QObject {
    Q_OBJECT
  private slots:
    void utf8_validity();
    void display_as_utf8_or_windows_1252();
    void cut_keeps_whole_characters();
    void field_bytes_keep_an_unchanged_text();
};

void KeyTextTest::utf8_validity() {
    QVERIFY(is_valid_utf8(""));
    QVERIFY(is_valid_utf8("plain ASCII\t~"));
    QVERIFY(is_valid_utf8("\xc3\xa9"));          // é
    QVERIFY(is_valid_utf8("\xe2\x82\xac"));      // €
    QVERIFY(is_valid_utf8("\xf0\x9f\x94\x91"));  // a four-byte character
    QVERIFY(is_valid_utf8("\xf4\x8f\xbf\xbf"));  // U+10FFFF
    QVERIFY(!is_valid_utf8("Caf\xe9"));          // Windows-1252 é
    QVERIFY(!is_valid_utf8("\xc0\x80"));         // overlong NUL
    QVERIFY(!is_valid_utf8("\xe0\x80\xaf"));     // overlong '/'
    QVERIFY(!is_valid_utf8("\xed\xa0\x80"));     // a surrogate
    QVERIFY(!is_valid_utf8("\xf4\x90\x80\x80")); // above U+10FFFF
    QVERIFY(!is_valid_utf8("\xe2\x82"));         // cut at the end
    QVERIFY(!is_valid_utf8("\xe2\x82x"));        // cut in the middle
    QVERIFY(!is_valid_utf8("\x80"));             // a lone continuation byte
    QVERIFY(!is_valid_utf8("\xff"));
}

void KeyTextTest::display_as_utf8_or_windows_1252() {
    QCOMPARE(display_text("Caf\xc3\xa9"), QStringLiteral("Café"));
    QCOMPARE(display_text("Caf\xe9"), QStringLiteral("Café"));
    // The 0x80-0x9f range is where Windows-1252 differs from Latin-1.
    QCOMPARE(display_text("\x80\x85\x8a\x93\x94\x99\x9f"), QStringLiteral("€…Š“”™Ÿ"));
    // Bytes that Windows-1252 leaves undefined stay the control characters of that value.
    QCOMPARE(display_text("\x81\x8d\x8f\x90\x9d").size(), 5);
    QCOMPARE(display_text("\x81").at(0).unicode(), char16_t(0x81));
    QCOMPARE(display_text("\x9d").at(0).unicode(), char16_t(0x9d));
    // One stray byte makes the whole text Windows-1252, the valid sequences included.
    QCOMPARE(display_text("\xc3\xa9 \xe9"), QStringLiteral("Ã© é"));
    QCOMPARE(display_text(std::string_view("a\0b", 3)).size(), 3);
    QCOMPARE(display_text(""), QString());
}

void KeyTextTest::cut_keeps_whole_characters() {
    QCOMPARE(cut_text("abc", 5), std::string("abc"));
    QCOMPARE(cut_text("abcdef", 3), std::string("abc"));
    // "a€b": the cut at 2 or 3 bytes would fall inside €.
    const std::string euro = "a\xe2\x82\xac"
                             "b";
    QCOMPARE(cut_text(euro, 1), std::string("a"));
    QCOMPARE(cut_text(euro, 2), std::string("a"));
    QCOMPARE(cut_text(euro, 3), std::string("a"));
    QCOMPARE(cut_text(euro, 4), std::string("a\xe2\x82\xac"));
    QCOMPARE(cut_text("\xf0\x9f\x94\x91", 3), std::string());
    // Windows-1252 has one byte per character: any cut is whole.
    QCOMPARE(cut_text("Caf\xe9\xe9", 4), std::string("Caf\xe9"));
    QCOMPARE(cut_text(std::string(2000, 'x'), 1999), std::string(1999, 'x'));
}

void KeyTextTest::field_bytes_keep_an_unchanged_text() {
    QCOMPARE(field_bytes(QStringLiteral("Café"), "Caf\xe9", 1999), std::string("Caf\xe9"));
    QCOMPARE(field_bytes(QStringLiteral("Cafés"), "Caf\xe9", 1999), std::string("Caf\xc3\xa9s"));
    QCOMPARE(field_bytes(QStringLiteral("Café"), "Caf\xc3\xa9", 1999), std::string("Caf\xc3\xa9"));
    QCOMPARE(field_bytes(QString(), "", 1999), std::string());
    QCOMPARE(field_bytes(QStringLiteral("aé"), "", 2), std::string("a"));
}

QTEST_MAIN(KeyTextTest)
#include "key_text_test.moc"
