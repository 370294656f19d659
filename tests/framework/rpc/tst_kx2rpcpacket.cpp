// Frame encoding and decoding, echo keys and the tagged value encoding of
// KX2RpcPacket.

#include "kx2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray header(quint32 jsonSize, quint32 attachmentSize)
{
    QByteArray out = bytes({0x00, 0x6B, 0x78, 0x01, 0x01});
    for (int i = 0; i < 4; ++i)
        out.append(char((jsonSize >> (8 * i)) & 0xFF));
    for (int i = 0; i < 4; ++i)
        out.append(char((attachmentSize >> (8 * i)) & 0xFF));
    out.append(bytes({0xFF, 0xFF, 0xFF}));
    return out;
}

QJsonObject parse(const char* json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class tst_KX2RpcPacket : public QObject
{
    Q_OBJECT

private slots:
    void compactTextMatchesQtAndReadsBack();
    void constants();
    void framesByteForByte();
    void emptyPacketIsKeepAlive();
    void takesFramesFromStream();
    void incompleteAndInvalidHeads_data();
    void incompleteAndInvalidHeads();
    void wellFormedStringsReadBackTheSame();
    void refusesOversizedFrames();
    void frameWithAttachmentRoundTrips();
    void echoKeysAndShrink();
    void takeRouterPopsHops();
    void makeAndCompactText();
    void taggedEncodingExample();
    void taggedRoundTrip_data();
    void taggedRoundTrip();
    void taggedNullMembersLeftOut();
    void taggedMalformedInput_data();
    void taggedMalformedInput();
    void taggedObjectKeepsMembersBeforeDamage();
};

void tst_KX2RpcPacket::constants()
{
    QCOMPARE(PACKET_MARK, bytes({0x00, 0x6B, 0x78}));
    QCOMPARE(PACKET_KEEPALIVE, bytes({0x00, 0x6B, 0x61, 0x00}));
    QCOMPARE(KX2RpcPacket::keepAlive(), PACKET_KEEPALIVE);
    // Connection workers may still read frames while the process exits,
    // after global destructors ran: the bytes must never be freed.
    for (QByteArray shared : {PACKET_MARK, PACKET_KEEPALIVE})
        QVERIFY(shared.data_ptr()->ref.isStatic());
}

void tst_KX2RpcPacket::framesByteForByte()
{
    KX2RpcPacket help(QJsonObject{{"cmd", "help_interfaces"}});
    const QByteArray text = "{\"cmd\":\"help_interfaces\"}";
    QCOMPARE(text.size(), 25);
    QCOMPARE(help.toDatagram(),
             bytes({0x00, 0x6B, 0x78, 0x01, 0x01, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                    0xFF, 0xFF, 0xFF})
                 + text);

    KX2RpcPacket x(QJsonObject{{"cmd", "x"}});
    QCOMPARE(x.toDatagram(), header(11, 0) + "{\"cmd\":\"x\"}");
}

void tst_KX2RpcPacket::emptyPacketIsKeepAlive()
{
    KX2RpcPacket empty;
    empty.attachment = "dropped";
    QVERIFY(empty.isKeepAlive());
    QCOMPARE(empty.toDatagram(), PACKET_KEEPALIVE);

    // A frame whose object is empty (here: a JSON array) reads as {}.
    QByteArray buffer = header(2, 0) + "[]";
    KX2RpcPacket packet(QJsonObject{{"old", 1}});
    QCOMPARE(packet.fromDatagram(buffer), int(KX2RpcPacket::Taken));
    QVERIFY(packet.isKeepAlive());
    QVERIFY(buffer.isEmpty());
}

void tst_KX2RpcPacket::takesFramesFromStream()
{
    const KX2RpcPacket first(QJsonObject{{"cmd", "a"}, {"seq", 1}});
    const KX2RpcPacket second(QJsonObject{{"cmd", "b"}, {"seq", 2}});
    QByteArray buffer = PACKET_KEEPALIVE + first.toDatagram() + second.toDatagram();

    KX2RpcPacket packet(QJsonObject{{"stale", true}});
    QCOMPARE(packet.fromDatagram(buffer), int(KX2RpcPacket::KeepAliveTaken));
    QVERIFY(packet.isEmpty());
    QCOMPARE(buffer, first.toDatagram() + second.toDatagram());

    QCOMPARE(packet.fromDatagram(buffer), int(KX2RpcPacket::Taken));
    QCOMPARE(static_cast<QJsonObject&>(packet), static_cast<const QJsonObject&>(first));
    QCOMPARE(packet.fromDatagram(buffer), int(KX2RpcPacket::Taken));
    QCOMPARE(static_cast<QJsonObject&>(packet), static_cast<const QJsonObject&>(second));
    QVERIFY(buffer.isEmpty());
    QCOMPARE(packet.fromDatagram(buffer), int(KX2RpcPacket::Incomplete));
}

void tst_KX2RpcPacket::incompleteAndInvalidHeads_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("pendingSize");

    QTest::newRow("empty") << QByteArray() << int(KX2RpcPacket::Incomplete) << 0;
    QTest::newRow("mark only") << PACKET_MARK << int(KX2RpcPacket::Incomplete) << 0;
    QTest::newRow("three other bytes") << QByteArray("abc") << int(KX2RpcPacket::Incomplete) << 0;
    QTest::newRow("four other bytes") << QByteArray("abcd") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("header incomplete")
        << header(10, 0).left(15) << int(KX2RpcPacket::Incomplete) << 0;
    QTest::newRow("J=10, 20 bytes buffered")
        << header(10, 0) + "{\"a\"" << int(KX2RpcPacket::Incomplete) << 26;
    QTest::newRow("attachment missing")
        << header(2, 5) + "{}ab" << int(KX2RpcPacket::Incomplete) << 23;
    QTest::newRow("unparsable json") << header(5, 0) + "{bad}" << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("empty json text") << header(0, 0) << int(KX2RpcPacket::Invalid) << 0;
    // Strings JSON does not admit: the parser would accept them and make
    // text that does not read back the same once written.
    const QByteArray found =
        QByteArray::fromBase64("AGt4AQEZAAAAAAAAAP///3siYxsAIjoiaGVscF8NXK4sAHBgAABlIn0=");
    QTest::newRow("control bytes, NUL, backslash before 0xAE")
        << found << int(KX2RpcPacket::Invalid) << 0;
    const auto framed = [](const QByteArray& json) {
        return header(quint32(json.size()), 0) + json;
    };
    QTest::newRow("raw control character")
        << framed("{\"a\":\"x\ny\"}") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("raw NUL in a key")
        << framed(QByteArray("{\"a\0\":1}", 8)) << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("unknown escape") << framed("{\"a\":\"\\q\"}") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("invalid UTF-8 byte")
        << framed("{\"a\":\"\xAE\"}") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("overlong UTF-8")
        << framed("{\"a\":\"\xC0\xAF\"}") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("encoded surrogate")
        << framed("{\"a\":\"\xED\xA0\x80\"}") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("lone escaped surrogate")
        << framed("{\"a\":\"\\ud800x\"}") << int(KX2RpcPacket::Invalid) << 0;
    QTest::newRow("escaped low surrogate first")
        << framed("{\"a\":\"\\udc00\\ud800\"}") << int(KX2RpcPacket::Invalid) << 0;
}

void tst_KX2RpcPacket::wellFormedStringsReadBackTheSame()
{
    // Escapes of the grammar, an escaped surrogate pair, and multi-byte
    // UTF-8 in keys and values are taken, and frame again to the same
    // object.
    const QByteArray json = "{\"k\\u0001\xE4\xB8\xAD\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t"
                            "\\u0000\\ud83d\\ude00\xF0\x9F\x98\x80\xC3\xA9\"}";
    QByteArray buffer = header(quint32(json.size()), 0) + json;
    KX2RpcPacket packet;
    QCOMPARE(packet.fromDatagram(buffer), int(KX2RpcPacket::Taken));
    const QString key = packet.keys().value(0);
    QCOMPARE(key, QString::fromUtf8("k\x01\xE4\xB8\xAD"));
    QCOMPARE(packet.value(key).toString(),
             QString::fromUtf8("\"\\/\b\f\n\r\t") + QChar(0)
                 + QString::fromUtf8("\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xC3\xA9"));
    QByteArray again = packet.toDatagram();
    KX2RpcPacket reread;
    QCOMPARE(reread.fromDatagram(again), int(KX2RpcPacket::Taken));
    QCOMPARE(static_cast<QJsonObject&>(reread), static_cast<QJsonObject&>(packet));
    KX2RpcPacket compact;
    QCOMPARE(compact.fromCompact(json), int(KX2RpcPacket::Taken));
    QCOMPARE(compact.fromCompact("{\"a\":\"\\ud800\"}"), int(KX2RpcPacket::Invalid));
}

void tst_KX2RpcPacket::incompleteAndInvalidHeads()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, result);
    QFETCH(int, pendingSize);

    const QByteArray before = buffer;
    KX2RpcPacket packet(QJsonObject{{"kept", 1}});
    packet.pendingSize = 99;
    QCOMPARE(packet.fromDatagram(buffer), result);
    QCOMPARE(packet.pendingSize, pendingSize);
    QCOMPARE(buffer, before);
}

void tst_KX2RpcPacket::refusesOversizedFrames()
{
    // The limit is checked from the header alone, before any body arrives.
    const quint32 limitBody = quint32(PACKET_MAX_FRAME - PACKET_HEADER_SIZE);
    QByteArray atLimit = header(limitBody - 100, 100) + "{";
    KX2RpcPacket packet;
    QCOMPARE(packet.fromDatagram(atLimit), int(KX2RpcPacket::Incomplete));
    QCOMPARE(qint64(packet.pendingSize), PACKET_MAX_FRAME);

    QByteArray overLimit = header(limitBody, 1) + "{";
    const QByteArray before = overLimit;
    QCOMPARE(packet.fromDatagram(overLimit), int(KX2RpcPacket::TooLarge));
    QCOMPARE(packet.pendingSize, 0);
    QCOMPARE(overLimit, before);

    // Both lengths at their maximum must not wrap around.
    QByteArray huge = header(0xFFFFFFFFu, 0xFFFFFFFFu);
    QCOMPARE(packet.fromDatagram(huge), int(KX2RpcPacket::TooLarge));
}

void tst_KX2RpcPacket::frameWithAttachmentRoundTrips()
{
    KX2RpcPacket sent(QJsonObject{{"cmd", "put"}, {"n", 3}});
    sent.attachment = QByteArray("\x00\x01\xFFzz", 5);
    const QByteArray frame = sent.toDatagram();
    QCOMPARE(frame.left(16), header(quint32(sent.toCompact().size()), 5));
    QVERIFY(frame.endsWith(sent.attachment));

    QByteArray buffer = frame + "tail";
    KX2RpcPacket received;
    QCOMPARE(received.fromDatagram(buffer), int(KX2RpcPacket::Taken));
    QCOMPARE(static_cast<QJsonObject&>(received), static_cast<QJsonObject&>(sent));
    QCOMPARE(received.attachment, sent.attachment);
    QCOMPARE(buffer, QByteArray("tail"));

    // A following keep-alive clears the attachment of the reused packet.
    buffer = PACKET_KEEPALIVE;
    QCOMPARE(received.fromDatagram(buffer), int(KX2RpcPacket::KeepAliveTaken));
    QVERIFY(received.attachment.isEmpty());

    // Copying keeps all three parts; assigning an object only the object.
    received = sent;
    received.pendingSize = 7;
    KX2RpcPacket copy(received);
    QCOMPARE(copy.attachment, sent.attachment);
    QCOMPARE(copy.pendingSize, 7);
    copy = QJsonObject{{"cmd", "other"}};
    QCOMPARE(copy.attachment, sent.attachment);
    QCOMPARE(copy.value("cmd").toString(), QString("other"));
    QVERIFY(!copy.contains("n"));
}

void tst_KX2RpcPacket::echoKeysAndShrink()
{
    const QJsonObject request = parse(
        R"({"cmd":"c","seq":5,"cno":"n","routers":[{"fd":1}],"_mine":true,
            "params":{"a":1},"token":"t","err":3})");

    QJsonObject reply{{"seq", 0}, {"results", 1}};
    KX2RpcPacket::copyResponsed(reply, request);
    QCOMPARE(reply, parse(R"({"cmd":"c","seq":5,"cno":"n","routers":[{"fd":1}],"_mine":true,
                              "results":1})"));

    KX2RpcPacket::copyResponsed(reply, request, 9885, QString());
    QCOMPARE(reply.value("err").toInt(), 9885);
    QVERIFY(!reply.contains("errmsg"));
    const KX2RpcPacket failed = KX2RpcPacket::copyResponsed(request, 9995, "缺少参数: path");
    QCOMPARE(failed.value("errmsg").toString(), QString("缺少参数: path"));
    QCOMPARE(failed.value("seq").toInt(), 5);
    QVERIFY(!failed.contains("params"));

    const KX2RpcPacket echoed = KX2RpcPacket::copyResponsed(request);
    QCOMPARE(static_cast<const QJsonObject&>(echoed),
             parse(R"({"cmd":"c","seq":5,"cno":"n","routers":[{"fd":1}],"_mine":true})"));

    KX2RpcPacket shrunk(request);
    shrunk.shrink();
    QCOMPARE(static_cast<QJsonObject&>(shrunk),
             parse(R"({"cmd":"c","seq":5,"cno":"n","_mine":true})"));

    KX2RpcPacket replaced(QJsonObject{{"results", 1}});
    replaced.shrink(request);
    QCOMPARE(static_cast<QJsonObject&>(replaced), static_cast<const QJsonObject&>(echoed));
}

void tst_KX2RpcPacket::takeRouterPopsHops()
{
    QJsonObject obj = parse(R"({"routers":[{"fd":3,"session":9}],"cmd":"x"})");
    int fd = -1;
    int session = -1;
    QVERIFY(KX2RpcPacket::takeRouter(fd, session, obj));
    QCOMPARE(fd, 3);
    QCOMPARE(session, 9);
    QVERIFY(!obj.contains("routers"));
    QVERIFY(!KX2RpcPacket::takeRouter(fd, session, obj));

    obj = parse(R"({"routers":[{"fd":1,"session":2},{"fd":7}]})");
    QVERIFY(KX2RpcPacket::takeRouter(fd, session, obj));
    QCOMPARE(fd, 7);
    QCOMPARE(session, 0);
    QCOMPARE(obj.value("routers").toArray().size(), 1);
}

void tst_KX2RpcPacket::makeAndCompactText()
{
    QCOMPARE(static_cast<QJsonObject>(KX2RpcPacket::make("c", 0, QJsonObject())),
             parse(R"({"cmd":"c","err":0})"));
    const KX2RpcPacket withParams = KX2RpcPacket::make("c", 7, QJsonObject{{"p", "v"}});
    QCOMPARE(withParams.toCompact(), QByteArray(R"({"cmd":"c","err":7,"params":{"p":"v"}})"));

    KX2RpcPacket packet(QJsonObject{{"keep", 1}});
    QCOMPARE(packet.fromCompact("[1,2]"), int(KX2RpcPacket::Invalid));
    QCOMPARE(packet.fromCompact("{broken"), int(KX2RpcPacket::Invalid));
    QCOMPARE(packet.value("keep").toInt(), 1);
    QCOMPARE(packet.fromCompact(R"({"a":"中文"})"), 0);
    QCOMPARE(packet.value("a").toString(), QString("中文"));
    QVERIFY(!packet.contains("keep"));
}

void tst_KX2RpcPacket::taggedEncodingExample()
{
    const QJsonObject object = parse(R"({"a":[1,"x",true]})");
    const QByteArray expected =
        QByteArray(">a:=1") + '\0' + "|x" + '\0' + "?t" + '\0' + '\0' + '\0';
    QCOMPARE(KX2RpcPacket::toCompactValue(object), expected);

    QByteArray buffer = expected.mid(1) + "rest";
    QJsonValue decoded;
    QVERIFY(KX2RpcPacket::fromCompactValue(decoded, '>', buffer));
    QCOMPARE(decoded.toObject(), object);
    QCOMPARE(buffer, QByteArray("rest"));

    buffer = expected.mid(1);
    QCOMPARE(KX2RpcPacket::fromCompactObject(buffer), object);
    QVERIFY(buffer.isEmpty());
}

void tst_KX2RpcPacket::taggedRoundTrip_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QByteArray>("encoding");

    QTest::newRow("string") << QJsonValue("中文 text") << QByteArray("|中文 text") + '\0';
    QTest::newRow("empty string") << QJsonValue("") << QByteArray("|") + '\0';
    QTest::newRow("integer") << QJsonValue(-42) << QByteArray("=-42") + '\0';
    QTest::newRow("fraction") << QJsonValue(0.125) << QByteArray("=0.125") + '\0';
    QTest::newRow("15 digits") << QJsonValue(1.0 / 3) << QByteArray("=0.333333333333333") + '\0';
    QTest::newRow("exponent") << QJsonValue(1e300) << QByteArray("=1e+300") + '\0';
    QTest::newRow("false") << QJsonValue(false) << QByteArray("?f") + '\0';
    QTest::newRow("empty array") << QJsonValue(QJsonArray()) << QByteArray(":") + '\0';
    QTest::newRow("nested") << QJsonValue(parse(R"({"b":{"c":[]},"a":[[true]]})"))
                            << QByteArray(">a::?t") + '\0' + '\0' + '\0' + "b>c:" + '\0' + '\0'
            + '\0';
}

void tst_KX2RpcPacket::taggedRoundTrip()
{
    QFETCH(QJsonValue, value);
    QFETCH(QByteArray, encoding);

    QCOMPARE(KX2RpcPacket::toCompactValue(value), encoding);
    QByteArray buffer = encoding.mid(1);
    QJsonValue decoded;
    QVERIFY(KX2RpcPacket::fromCompactValue(decoded, encoding.at(0), buffer));
    QVERIFY(buffer.isEmpty());
    if (value.isDouble())
        QCOMPARE(decoded.toDouble(), QString::number(value.toDouble(), 'g', 15).toDouble());
    else
        QCOMPARE(decoded, value);
}

void tst_KX2RpcPacket::taggedNullMembersLeftOut()
{
    QCOMPARE(KX2RpcPacket::toCompactValue(QJsonValue()), QByteArray());
    const QJsonObject withNull = parse(R"({"a":null,"b":1})");
    QByteArray encoded = KX2RpcPacket::toCompactValue(withNull);
    QCOMPARE(encoded, QByteArray(">b=1") + '\0' + '\0');
    QCOMPARE(KX2RpcPacket::toCompactValue(parse(R"({"l":[null,2]})")),
             QByteArray(">l:=2") + '\0' + '\0' + '\0');
}

void tst_KX2RpcPacket::taggedMalformedInput_data()
{
    QTest::addColumn<char>("tag");
    QTest::addColumn<QByteArray>("buffer");

    QTest::newRow("string without terminator") << '|' << QByteArray("abc");
    QTest::newRow("number without terminator") << '=' << QByteArray("12");
    QTest::newRow("empty number") << '=' << QByteArray(1, '\0');
    QTest::newRow("number text") << '=' << QByteArray("1x") + '\0';
    QTest::newRow("bool cut") << '?' << QByteArray("t");
    QTest::newRow("bool without terminator") << '?' << QByteArray("tt");
    QTest::newRow("array cut") << ':' << QByteArray("=1") + '\0';
    QTest::newRow("array bad head") << ':' << QByteArray("x");
    QTest::newRow("array bad element") << ':' << QByteArray("=") + '\0' + '\0';
    QTest::newRow("object cut") << '>' << QByteArray("a=1") + '\0';
    QTest::newRow("unknown tag") << '#' << QByteArray("x") + '\0';
    QTest::newRow("nested too deep") << ':' << QByteArray(100000, ':');
    QTest::newRow("objects too deep") << '>' << QByteArray(100000, '>');
}

void tst_KX2RpcPacket::taggedMalformedInput()
{
    QFETCH(char, tag);
    QFETCH(QByteArray, buffer);

    QJsonValue out(QStringLiteral("untouched"));
    QVERIFY(!KX2RpcPacket::fromCompactValue(out, tag, buffer));
    QCOMPARE(out.toString(), QString("untouched"));
}

void tst_KX2RpcPacket::taggedObjectKeepsMembersBeforeDamage()
{
    QByteArray buffer = QByteArray("a=1") + '\0' + "b=" + '\0' + "c|z" + '\0' + '\0';
    QCOMPARE(KX2RpcPacket::fromCompactObject(buffer), parse(R"({"a":1})"));

    buffer = QByteArray("k?T") + '\0';
    QCOMPARE(KX2RpcPacket::fromCompactObject(buffer), parse(R"({"k":true})"));
    QVERIFY(buffer.isEmpty());

    // A 0x00 inside a key means the bytes were not written by the encoder.
    buffer = QByteArray("ok=1") + '\0' + QByteArray("k", 1) + '\0' + "y=2" + '\0' + '\0';
    QCOMPARE(KX2RpcPacket::fromCompactObject(buffer), parse(R"({"ok":1})"));
}

void tst_KX2RpcPacket::compactTextMatchesQtAndReadsBack()
{
    const QJsonObject object{
        {"cmd", "antivirus_scan_start"},
        {"text", QString::fromUtf8("引号\" 反斜杠\\ 控制\x01\x1f\n\r\t\b\f 😀 /")},
        {"ints", QJsonArray{0, 1, -1, 9885, 2147483647, 4294967296.0, -9007199254740992.0}},
        {"reals", QJsonArray{0.1, -2.5, 1e300, 1.7976931348623157e308, 5e-324, 123456.789}},
        {"nested",
         QJsonObject{{"b", true},
                     {"f", false},
                     {"n", QJsonValue()},
                     {"e", QJsonObject()},
                     {"a", QJsonArray{QJsonArray{}, QJsonObject{{"k", "v"}}}}}},
        {"", "empty key"},
        // Plain runs longer than the writer's run buffer, broken by escapes
        // and multi-byte characters at and around its edges.
        {"long",
         QString(127, 'a') + "\"" + QString(128, 'b') + QString::fromUtf8("é") + QString(300, 'c')
             + "\n"},
    };
    KX2RpcPacket packet(object);
    const QByteArray mine = packet.toCompact();
    QCOMPARE(mine, QJsonDocument(object).toJson(QJsonDocument::Compact));
    QCOMPARE(QJsonDocument::fromJson(mine).object(), object);
    // The frame carries the same text and its length.
    QByteArray frame = packet.toDatagram();
    KX2RpcPacket back;
    QCOMPARE(back.fromDatagram(frame), int(KX2RpcPacket::Taken));
    QCOMPARE(static_cast<const QJsonObject&>(back), object);

    // A buffer reused for the next reply holds exactly that reply's frame.
    QByteArray reused;
    packet.writeDatagram(reused);
    QCOMPARE(reused, packet.toDatagram());
    const KX2RpcPacket small(QJsonObject{{"err", 0}});
    small.writeDatagram(reused);
    QCOMPARE(reused, small.toDatagram());
    KX2RpcPacket().writeDatagram(reused);
    QCOMPARE(reused, PACKET_KEEPALIVE);
    small.writeDatagram(reused);
    QCOMPARE(reused, small.toDatagram());
}

QTEST_GUILESS_MAIN(tst_KX2RpcPacket)
#include "tst_kx2rpcpacket.moc"
