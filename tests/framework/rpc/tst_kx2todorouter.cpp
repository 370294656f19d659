// Routers: dispatch order and precedence, the not-found reply, help
// documents, the child list, and dispatch from several threads while the
// tree changes.

#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "kx2cabinet.h"
#include "kx2todorouter.h"

namespace {

const QString kNotFound = QStringLiteral("被调用的方法不存在: ");

QJsonObject request(const QString& cmd)
{
    return QJsonObject{{"cmd", cmd}, {"params", QJsonObject{{"path", "/mnt"}}}};
}

} // namespace

// Answers every method by recording who ran it.
class TaggedRouter : public KX2TodoRouter
{
    Q_OBJECT
public:
    explicit TaggedRouter(const QString& tag) : tag(tag) {}
    const QString tag;
    std::atomic<int> calls{0};

protected:
    // A help request gets a one-line document and is not counted.
    void answer(QJsonObject* retObject, const QJsonObject& cmdObject, const char* method,
                KX2Cabinet* envObject)
    {
        if (cmdObject.contains("help")) {
            *retObject = QJsonObject{{"comment", tag}};
            return;
        }
        ++calls;
        retObject->insert("by", tag);
        retObject->insert("method", QLatin1String(method));
        if (envObject)
            envObject->setErr(0, QString());
    }
};

class HeadRouter : public TaggedRouter
{
    Q_OBJECT
public:
    using TaggedRouter::TaggedRouter;
private slots:
    void ping(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "ping", envObject);
    }
    void echo(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "echo", envObject);
        retObject->insert("request", cmdObject);
    }
    void where(QJsonObject* retObject, QJsonObject, KX2Cabinet*)
    {
        retObject->insert("thread", QString::number(quintptr(QThread::currentThread())));
    }
    void _hidden(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "_hidden", envObject);
    }
    void halfSignature(QJsonObject* retObject, QJsonObject) { retObject->insert("by", "wrong"); }
};

class ChildARouter : public TaggedRouter
{
    Q_OBJECT
public:
    using TaggedRouter::TaggedRouter;
private slots:
    void echo(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "echo", envObject);
    }
    void shared(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "shared", envObject);
    }
    void __LS__ping(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "__LS__ping", envObject);
    }
};

class LeafRouter : public TaggedRouter
{
    Q_OBJECT
public:
    using TaggedRouter::TaggedRouter;
private slots:
    void shared(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "shared", envObject);
    }
    void deep(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "deep", envObject);
    }
};

// Inherits its request methods only.
class DerivedLeafRouter : public LeafRouter
{
    Q_OBJECT
public:
    using LeafRouter::LeafRouter;
};

// Request methods that answer a help request with their document.
class DocRouter : public TaggedRouter
{
    Q_OBJECT
public:
    using TaggedRouter::TaggedRouter;

private:
    bool help(QJsonObject* retObject, const QJsonObject& cmdObject, const QJsonObject& doc)
    {
        if (!cmdObject.contains("help"))
            return false;
        *retObject = doc;
        return true;
    }

private slots:
    void documented(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        const QJsonObject doc{{"comment", tag},
                              {"params", QJsonObject{{"path", "路径"}}},
                              {"params-comment", QJsonObject{{"path", "要扫描的路径"}}}};
        if (!help(retObject, cmdObject, doc))
            answer(retObject, cmdObject, "documented", envObject);
    }
    void bare(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (!help(retObject, cmdObject, QJsonObject{{"params", QJsonObject{{"a", "b"}}}}))
            answer(retObject, cmdObject, "bare", envObject);
    }
    void noparams(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (!help(retObject, cmdObject, QJsonObject{{"comment", ""}}))
            answer(retObject, cmdObject, "noparams", envObject);
    }
    void withtoken(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        const QJsonObject doc{{"comment", "c"}, {"params", QJsonObject()}, {"token", 1}};
        if (!help(retObject, cmdObject, doc))
            answer(retObject, cmdObject, "withtoken", envObject);
    }
    void secret(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (!help(retObject, cmdObject, QJsonObject{{"comment", "c"}, {"unpublished", "yes"}}))
            answer(retObject, cmdObject, "secret", envObject);
    }
    void _internal(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (!help(retObject, cmdObject, QJsonObject{{"comment", "c"}}))
            answer(retObject, cmdObject, "_internal", envObject);
    }
};

// Appears and disappears while requests are dispatched.
class ExtraRouter : public TaggedRouter
{
    Q_OBJECT
public:
    using TaggedRouter::TaggedRouter;
private slots:
    void extra(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, "extra", envObject);
    }
};

class TestKX2TodoRouter : public QObject
{
    Q_OBJECT
public:
    TestKX2TodoRouter() : head("head"), childA("childA"), grandchild("grandchild"), childB("childB")
    {
        // head -> [childA -> [grandchild], childB]
        head.add(&childA);
        head.add(&childB);
        childA.add(&grandchild);
    }

private:
    // Dispatches through the head router as a connection does and returns
    // the finished reply.
    QJsonObject call(KX2TodoRouter& router, const QJsonObject& cmdObject, bool* invoked = nullptr)
    {
        KX2Cabinet env;
        QJsonObject reply{{"err", 9999}};
        const bool found = router.dispatch(reply, cmdObject, &env);
        if (invoked)
            *invoked = found;
        env.toRetObject(reply, false);
        return reply;
    }

    HeadRouter head;
    ChildARouter childA;
    LeafRouter grandchild;
    LeafRouter childB;

private slots:
    void dispatchPrecedence_data();
    void dispatchPrecedence();
    void notFoundReplies_data();
    void notFoundReplies();
    void passesReportWhatTheyFound();
    void requestReachesMethodUnchanged();
    void inheritedMethodsAreFound();
    void invokedOnCallingThread();
    void childList();
    void cyclesAreRefused();
    void injectWritesReplyKeys();
    void helpInterfacesListsPublishedMethods();
    void helpDocumentsAreCompleted();
    void firstPublisherWins();
    void allInterfaceNames();
    void routesFollowTheTree();
    void dispatchWhileRoutersChange();
};

void TestKX2TodoRouter::dispatchPrecedence_data()
{
    QTest::addColumn<QString>("cmd");
    QTest::addColumn<QString>("by");
    QTest::addColumn<QString>("method");

    // "__LS__ping" in a child beats the head's own "ping".
    QTest::newRow("__LS__ pass first") << "ping"
                                       << "childA"
                                       << "__LS__ping";
    QTest::newRow("own before children") << "echo"
                                         << "head"
                                         << "echo";
    QTest::newRow("first child wins") << "shared"
                                      << "childA"
                                      << "shared";
    QTest::newRow("depth first") << "deep"
                                 << "grandchild"
                                 << "deep";
    QTest::newRow("blanks around") << "  \techo \n"
                                   << "head"
                                   << "echo";
    QTest::newRow("hidden still callable") << "_hidden"
                                           << "head"
                                           << "_hidden";
    QTest::newRow("prefixed name directly") << "__LS__ping"
                                            << "childA"
                                            << "__LS__ping";
}

void TestKX2TodoRouter::dispatchPrecedence()
{
    QFETCH(QString, cmd);
    QFETCH(QString, by);
    QFETCH(QString, method);

    bool invoked = false;
    const QJsonObject reply = call(head, request(cmd), &invoked);
    QVERIFY(invoked);
    QCOMPARE(reply.value("by").toString(), by);
    QCOMPARE(reply.value("method").toString(), method);
    QCOMPARE(reply.value("err").toInt(), 0);
    QVERIFY(!reply.contains("errmsg"));
}

void TestKX2TodoRouter::notFoundReplies_data()
{
    QTest::addColumn<QJsonValue>("cmd");
    QTest::addColumn<QString>("errmsg");

    QTest::newRow("unknown") << QJsonValue("nope") << kNotFound + "nope";
    QTest::newRow("blanks kept") << QJsonValue(" nope ") << kNotFound + " nope ";
    QTest::newRow("case matters") << QJsonValue("PING") << kNotFound + "PING";
    QTest::newRow("case matters, prefix") << QJsonValue("__ls__ping") << kNotFound + "__ls__ping";
    QTest::newRow("wrong signature") << QJsonValue("halfSignature") << kNotFound + "halfSignature";
    QTest::newRow("signature smuggled") << QJsonValue("echo(QJsonObject*,QJsonObject,KX2Cabinet*)")
                                        << kNotFound + "echo(QJsonObject*,QJsonObject,KX2Cabinet*)";
    QTest::newRow("QObject method") << QJsonValue("deleteLater") << kNotFound + "deleteLater";
    QTest::newRow("empty") << QJsonValue("") << kNotFound;
    QTest::newRow("blank") << QJsonValue("   ") << kNotFound + "   ";
    QTest::newRow("not a string") << QJsonValue(12) << kNotFound;
}

void TestKX2TodoRouter::notFoundReplies()
{
    QFETCH(QJsonValue, cmd);
    QFETCH(QString, errmsg);

    bool invoked = true;
    const QJsonObject reply = call(head, QJsonObject{{"cmd", cmd}}, &invoked);
    QVERIFY(!invoked);
    QCOMPARE(reply, (QJsonObject{{"err", 9885}, {"errmsg", errmsg}}));

    // A missing "cmd" behaves like an empty one.
    QCOMPARE(call(head, QJsonObject{{"params", 1}}),
             (QJsonObject{{"err", 9885}, {"errmsg", kNotFound}}));
}

void TestKX2TodoRouter::passesReportWhatTheyFound()
{
    QJsonObject reply;
    KX2Cabinet env;
    // The "__LS__" pass finds only prefixed methods and marks a miss in the reply.
    QVERIFY(!head.doCall(reply, request("echo"), &env));
    QCOMPARE(reply.value("err").toInt(), 9885);
    QVERIFY(head.doCall(reply, request("ping"), &env));
    QCOMPARE(reply.value("method").toString(), QStringLiteral("__LS__ping"));

    reply = QJsonObject();
    QVERIFY(head.doSlot(reply, request("ping"), &env));
    QCOMPARE(reply.value("by").toString(), QStringLiteral("head"));

    // An empty command leaves the reply alone.
    reply = QJsonObject{{"err", 9999}};
    QVERIFY(!head.doSlot(reply, request("  "), &env));
    QVERIFY(!head.doCall(reply, request(""), &env));
    QCOMPARE(reply, (QJsonObject{{"err", 9999}}));

    // Without an environment a miss still answers, and nothing crashes.
    reply = QJsonObject();
    QVERIFY(!head.dispatch(reply, request("nope"), nullptr));
    QCOMPARE(reply.value("err").toInt(), 9885);
}

void TestKX2TodoRouter::requestReachesMethodUnchanged()
{
    const QJsonObject cmdObject{{"cmd", " echo "}, {"params", QJsonObject{{"x", 1}}}, {"extra", 2}};
    const QJsonObject reply = call(head, cmdObject);
    QCOMPARE(reply.value("request").toObject(), cmdObject);
}

void TestKX2TodoRouter::inheritedMethodsAreFound()
{
    DerivedLeafRouter derived("derived");
    QCOMPARE(call(derived, request("deep")).value("by").toString(), QStringLiteral("derived"));
    QCOMPARE(call(derived, request("help_interfaces")).value("err").toInt(), 0);
}

void TestKX2TodoRouter::invokedOnCallingThread()
{
    QString expected;
    QJsonObject reply;
    std::thread worker([&] {
        expected = QString::number(quintptr(QThread::currentThread()));
        KX2Cabinet env;
        head.dispatch(reply, request("where"), &env);
    });
    worker.join();
    QVERIFY(!expected.isEmpty());
    QCOMPARE(reply.value("thread").toString(), expected);
    QVERIFY(expected != QString::number(quintptr(QThread::currentThread())));
}

void TestKX2TodoRouter::childList()
{
    KX2TodoRouter router;
    LeafRouter one("one");
    LeafRouter two("two");
    router.add(&one);
    router.add(nullptr);
    router.add(&two);
    router.add(&one);
    QCOMPARE(router.list(), (QList<KX2TodoRouter*>{&one, &two}));
    QVERIFY(router.routerId().isEmpty());

    QCOMPARE(call(router, request("deep")).value("by").toString(), QStringLiteral("one"));
    router.del(&one);
    router.del(&one);
    QCOMPARE(router.list(), (QList<KX2TodoRouter*>{&two}));
    QCOMPARE(call(router, request("deep")).value("by").toString(), QStringLiteral("two"));
    router.del(&two);
    QVERIFY(router.list().isEmpty());
    QCOMPARE(call(router, request("deep")).value("err").toInt(), 9885);

    KX2Journals journal;
    QVERIFY(router.loadConfigure(journal, QJsonObject()));
}

void TestKX2TodoRouter::cyclesAreRefused()
{
    KX2TodoRouter top;
    KX2TodoRouter middle;
    KX2TodoRouter bottom;
    top.add(&middle);
    middle.add(&bottom);
    top.add(&top);
    bottom.add(&top);
    bottom.add(&middle);
    QCOMPARE(top.list(), QList<KX2TodoRouter*>{&middle});
    QVERIFY(bottom.list().isEmpty());
    // A miss walks the whole tree once and ends.
    QCOMPARE(call(top, request("nope")).value("err").toInt(), 9885);
    // Sharing a child between two parents is not a cycle.
    KX2TodoRouter other;
    other.add(&bottom);
    top.add(&other);
    QCOMPARE(top.list().size(), 2);
}

void TestKX2TodoRouter::injectWritesReplyKeys()
{
    QJsonObject target{{"errmsg", "old"}};
    head.inject(&target, 9993, QString());
    QCOMPARE(target, (QJsonObject{{"err", 9993}, {"errmsg", "old"}}));
    head.inject(&target, 9994, QStringLiteral("文件不存在"));
    QCOMPARE(target, (QJsonObject{{"err", 9994}, {"errmsg", "文件不存在"}}));
    head.inject(nullptr, 1, QStringLiteral("ignored"));
}

void TestKX2TodoRouter::helpInterfacesListsPublishedMethods()
{
    KX2TodoRouter root;
    DocRouter docs("docs");
    root.add(&docs);

    const QJsonObject reply = call(root, request("help_interfaces"));
    QCOMPARE(reply.value("err").toInt(), 0);
    QVERIFY(!reply.contains("errmsg"));
    const QJsonObject results = reply.value("results").toObject();
    QStringList names = results.keys();
    names.sort();
    QCOMPARE(names,
             (QStringList{"bare", "documented", "help_interfaces", "noparams", "withtoken"}));
    for (const QString& name : names)
        QCOMPARE(results.value(name).toObject().value("cmd").toString(), name);

    QCOMPARE(results.value("help_interfaces").toObject(),
             (QJsonObject{{"cmd", "help_interfaces"},
                          {"comment", "获取接口的使用说明"},
                          {"params", QJsonObject{{"cmd", "接口名(可选)"}}},
                          {"params-comment",
                           QJsonObject{{"cmd", "可选的接口名, 不指定时显示所有接口的使用说明"}}}}));

    // Unpublished and hidden methods stay callable.
    QCOMPARE(call(root, request("secret")).value("method").toString(), QStringLiteral("secret"));
    QCOMPARE(call(root, request("_internal")).value("method").toString(),
             QStringLiteral("_internal"));

    // The list always covers the whole tree below, whatever the parameters.
    QJsonObject narrowed = request("help_interfaces");
    narrowed.insert("params", QJsonObject{{"cmd", "bare"}});
    QCOMPARE(call(root, narrowed).value("results").toObject().size(), names.size());
    // Asked on a leaf, it lists only that leaf's tree.
    LeafRouter leaf("leaf");
    QCOMPARE(call(leaf, request("help_interfaces")).value("results").toObject().keys(),
             (QStringList{"deep", "help_interfaces", "shared"}));
}

void TestKX2TodoRouter::helpDocumentsAreCompleted()
{
    DocRouter docs("docs");
    QJsonObject all;
    docs.allInterfaces(all);
    // The help request does no work.
    QCOMPARE(docs.calls.load(), 0);

    const QString tokenHint = QStringLiteral("允许不传token，但已登录时建议传入");
    QCOMPARE(all.value("documented").toObject(),
             (QJsonObject{{"cmd", "documented"},
                          {"comment", "docs"},
                          {"params", QJsonObject{{"path", "路径"}}},
                          {"params-comment", QJsonObject{{"path", "要扫描的路径"}}},
                          {"token-comment", tokenHint}}));
    QCOMPARE(all.value("bare").toObject(),
             (QJsonObject{{"cmd", "bare"}, {"comment", "<<此接口没有提供使用说明>>"}}));
    QCOMPARE(all.value("noparams").toObject(),
             (QJsonObject{{"cmd", "noparams"},
                          {"comment", ""},
                          {"params-comment", "本接口没有参数"},
                          {"token-comment", tokenHint}}));
    QCOMPARE(all.value("withtoken").toObject(),
             (QJsonObject{{"cmd", "withtoken"},
                          {"comment", "c"},
                          {"params", QJsonObject()},
                          {"token", "登录成功时返回的token"},
                          {"token-comment", "登录成功时返回的token"}}));
    QVERIFY(!all.contains("secret"));
    QVERIFY(!all.contains("_internal"));
    // Listed by itself, help_interfaces shows its own document.
    QCOMPARE(all.value("help_interfaces").toObject().value("comment").toString(),
             QStringLiteral("获取接口的使用说明"));

    // Names already present are left alone.
    QJsonObject preset{{"bare", QJsonObject{{"comment", "kept"}}}};
    docs.allInterfaces(preset);
    QCOMPARE(preset.value("bare").toObject(), (QJsonObject{{"comment", "kept"}}));
}

void TestKX2TodoRouter::firstPublisherWins()
{
    KX2TodoRouter root;
    DocRouter first("first");
    DocRouter second("second");
    root.add(&first);
    root.add(&second);

    const QJsonObject results = call(root, request("help_interfaces")).value("results").toObject();
    QCOMPARE(results.value("documented").toObject().value("comment").toString(),
             QStringLiteral("first"));
    QCOMPARE(call(root, request("documented")).value("by").toString(), QStringLiteral("first"));
    QCOMPARE(second.calls.load(), 0);
}

void TestKX2TodoRouter::allInterfaceNames()
{
    QStringList names;
    head.allInterfaces(names);
    // No de-duplication: every router contributes its own list; names
    // beginning with "_" and methods of another signature are left out.
    QCOMPARE(names.count("help_interfaces"), 4);
    QCOMPARE(names.count("shared"), 3);
    QCOMPARE(names.count("echo"), 2);
    QCOMPARE(names.count("deep"), 2);
    QVERIFY(names.contains("ping"));
    QVERIFY(names.contains("where"));
    QVERIFY(!names.contains("__LS__ping"));
    QVERIFY(!names.contains("_hidden"));
    QVERIFY(!names.contains("halfSignature"));
    QVERIFY(!names.contains("deleteLater"));
    QCOMPARE(names.size(), 4 + 3 + 2 + 2 + 2);
    // Own methods come first, children in the order they were added.
    QCOMPARE(names.indexOf("ping") < names.indexOf("shared"), true);
}

// Routes are remembered between requests: a removed and destroyed router
// must not be reached again, and a new root, even at a destroyed one's
// address, routes through its own tree.
void TestKX2TodoRouter::routesFollowTheTree()
{
    auto root = std::make_unique<KX2TodoRouter>();
    auto extra = std::make_unique<ExtraRouter>(QStringLiteral("first"));
    root->add(extra.get());
    QCOMPARE(call(*root, request("extra")).value("by").toString(), QStringLiteral("first"));

    root->del(extra.get());
    extra.reset();
    QCOMPARE(call(*root, request("extra")).value("err").toInt(), 9885);

    auto second = std::make_unique<ExtraRouter>(QStringLiteral("second"));
    root->add(second.get());
    QCOMPARE(call(*root, request("extra")).value("by").toString(), QStringLiteral("second"));

    // A new root built where the old one was, with nothing changing the
    // tree in between: only telling the roots apart keeps "extra" away.
    alignas(KX2TodoRouter) unsigned char place[sizeof(KX2TodoRouter)];
    KX2TodoRouter* old = new (place) KX2TodoRouter;
    old->add(second.get());
    QCOMPARE(call(*old, request("extra")).value("by").toString(), QStringLiteral("second"));
    old->~KX2TodoRouter();
    KX2TodoRouter* fresh = new (place) KX2TodoRouter;
    QCOMPARE(call(*fresh, request("extra")).value("err").toInt(), 9885);
    fresh->~KX2TodoRouter();
}

void TestKX2TodoRouter::dispatchWhileRoutersChange()
{
    KX2TodoRouter root;
    LeafRouter leaf("leaf");
    root.add(&leaf);
    std::vector<std::unique_ptr<ExtraRouter>> extras;
    for (int i = 0; i < 8; ++i)
        extras.push_back(std::make_unique<ExtraRouter>(QStringLiteral("extra%1").arg(i)));

    constexpr int threadCount = 3;
    constexpr int rounds = 1000;
    std::atomic<int> running{threadCount};
    std::atomic<int> extraFound{0};
    std::atomic<int> extraMissed{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&] {
            KX2Cabinet env;
            for (int i = 0; i < rounds; ++i) {
                QJsonObject reply;
                if (!root.dispatch(reply, request("deep"), &env)
                    || reply.value("by").toString() != QLatin1String("leaf"))
                    ++failures;
                reply = QJsonObject();
                if (root.dispatch(reply, request("extra"), &env))
                    ++extraFound;
                else if (env.err() == 9885)
                    ++extraMissed;
                if (i % 50 == 0) {
                    reply = QJsonObject();
                    root.dispatch(reply, request("help_interfaces"), &env);
                    if (!reply.value("results").toObject().contains("deep"))
                        ++failures;
                }
            }
            --running;
        });
    }
    // Change the tree until every dispatcher is done.
    // Growing and shrinking the list makes it reallocate under the readers.
    while (running.load() > 0) {
        for (const auto& extra : extras)
            root.add(extra.get());
        for (const auto& extra : extras)
            root.del(extra.get());
    }
    for (std::thread& thread : threads)
        thread.join();

    QCOMPARE(failures.load(), 0);
    QCOMPARE(extraFound.load() + extraMissed.load(), threadCount * rounds);
    int extraCalls = 0;
    for (const auto& extra : extras)
        extraCalls += extra->calls.load();
    QCOMPARE(extraCalls, extraFound.load());
    QCOMPARE(leaf.calls.load(), threadCount * rounds);
}

QTEST_GUILESS_MAIN(TestKX2TodoRouter)
#include "tst_kx2todorouter.moc"
