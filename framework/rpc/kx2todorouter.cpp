#include "kx2todorouter.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QSet>

#include <mutex>

#include "kx2values.h"

namespace {

// Normalised parameter list every request method must have.
const char kMethodSignature[] = "(QJsonObject*,QJsonObject,KX2Cabinet*)";

// Looked up, anywhere in the tree, before the plain command.
const char kLocalPrefix[] = "__LS__";

const char kHelpInterfaces[] = "help_interfaces";

bool isHidden(const QByteArray& name)
{
    return name.startsWith('_');
}

bool hasMethodSignature(const QMetaMethod& method)
{
    return method.methodSignature().endsWith(kMethodSignature);
}

// Index of the request method `name` in `meta` (the class and its bases,
// most derived first), or -1. The name must match exactly: a command that
// smuggles parentheses or commas into the lookup text finds nothing.
int requestMethodIndex(const QMetaObject* meta, const QByteArray& name)
{
    if (name.isEmpty())
        return -1;
    const int index = meta->indexOfMethod(name + kMethodSignature);
    if (index < 0 || meta->method(index).name() != name)
        return -1;
    return index;
}

// The trimmed command of a request, in the form the meta-object uses.
QByteArray commandOf(const QJsonObject& cmdObject)
{
    return cmdObject.value(QStringLiteral("cmd")).toString().trimmed().toUtf8();
}

QJsonObject helpInterfacesDocument()
{
    return QJsonObject{
        {QStringLiteral("cmd"), QLatin1String(kHelpInterfaces)},
        {QStringLiteral("comment"), QStringLiteral("获取接口的使用说明")},
        {QStringLiteral("params"),
         QJsonObject{{QStringLiteral("cmd"), QStringLiteral("接口名(可选)")}}},
        {QStringLiteral("params-comment"),
         QJsonObject{{QStringLiteral("cmd"),
                      QStringLiteral("可选的接口名, 不指定时显示所有接口的使用说明")}}},
    };
}

QJsonObject defaultDocument()
{
    return QJsonObject{{QStringLiteral("comment"), QStringLiteral("<<此接口没有提供使用说明>>")}};
}

// Completes a method's own help document with the generated comments.
QJsonObject completeDocument(QJsonObject doc, const QString& name)
{
    if (doc.contains(QStringLiteral("comment"))) {
        if (!doc.contains(QStringLiteral("params")))
            doc.insert(QStringLiteral("params-comment"), QStringLiteral("本接口没有参数"));
        if (doc.contains(QStringLiteral("token"))) {
            doc.insert(QStringLiteral("token"), QStringLiteral("登录成功时返回的token"));
            doc.insert(QStringLiteral("token-comment"), QStringLiteral("登录成功时返回的token"));
        } else {
            doc.insert(QStringLiteral("token-comment"),
                       QStringLiteral("允许不传token，但已登录时建议传入"));
        }
    } else {
        doc = defaultDocument();
    }
    doc.insert(QStringLiteral("cmd"), name);
    return doc;
}

} // namespace

class KX2TodoRouterPrivate
{
public:
    QString id;
    // std::mutex rather than QMutex: its locking is visible to
    // ThreadSanitizer, which the concurrent dispatch test runs under.
    mutable std::mutex routersMutex;
    QList<KX2TodoRouter*> routers; // guarded by routersMutex; not owned

    // An unshared copy: an implicitly shared one would leave readers and
    // add()/del() working on the same block outside the lock.
    QList<KX2TodoRouter*> children() const
    {
        std::lock_guard<std::mutex> locker(routersMutex);
        return QList<KX2TodoRouter*>(routers.cbegin(), routers.cend());
    }

    using Pass = bool (KX2TodoRouter::*)(QJsonObject&, const QJsonObject&, KX2Cabinet*);

    // One dispatch pass for the method `name`: own method, then the
    // children through `pass`, depth first; 9885 into the reply on a miss.
    bool run(KX2TodoRouter* self, const QByteArray& name, Pass pass, QJsonObject& retObject,
             const QJsonObject& cmdObject, KX2Cabinet* env) const;

    // Whether `target` is `from` or lies below it.
    static bool reaches(const KX2TodoRouter* from, const KX2TodoRouter* target);

    static void invoke(KX2TodoRouter* self, int index, QJsonObject* retObject,
                       const QJsonObject& cmdObject, KX2Cabinet* env);
};

bool KX2TodoRouterPrivate::run(KX2TodoRouter* self, const QByteArray& name, Pass pass,
                               QJsonObject& retObject, const QJsonObject& cmdObject,
                               KX2Cabinet* env) const
{
    const int index = requestMethodIndex(self->metaObject(), name);
    if (index >= 0) {
        invoke(self, index, &retObject, cmdObject, env);
        return true;
    }
    for (KX2TodoRouter* child : children()) {
        if ((child->*pass)(retObject, cmdObject, env))
            return true;
    }
    retObject.insert(QStringLiteral("err"), KX2ErrorCode::MethodNotFound);
    return false;
}

bool KX2TodoRouterPrivate::reaches(const KX2TodoRouter* from, const KX2TodoRouter* target)
{
    QSet<const KX2TodoRouter*> visited;
    QList<const KX2TodoRouter*> pending{from};
    while (!pending.isEmpty()) {
        const KX2TodoRouter* router = pending.takeLast();
        if (router == target)
            return true;
        if (visited.contains(router))
            continue;
        visited.insert(router);
        for (KX2TodoRouter* child : router->list())
            pending.append(child);
    }
    return false;
}

void KX2TodoRouterPrivate::invoke(KX2TodoRouter* self, int index, QJsonObject* retObject,
                                  const QJsonObject& cmdObject, KX2Cabinet* env)
{
    // Direct invocation: the method runs on the caller's thread whatever the
    // router's thread affinity, and finishes before this returns.
    self->metaObject()->method(index).invoke(self, Qt::DirectConnection,
                                             Q_ARG(QJsonObject*, retObject),
                                             Q_ARG(QJsonObject, cmdObject),
                                             Q_ARG(KX2Cabinet*, env));
}

KX2TodoRouter::KX2TodoRouter(QObject* parent)
    : QObject(parent)
    , d(new KX2TodoRouterPrivate)
{
    // Environments travel by pointer only; they are never copied.
    qRegisterMetaType<KX2Cabinet*>("KX2Cabinet*");
}

KX2TodoRouter::~KX2TodoRouter()
{
    delete d;
}

QString KX2TodoRouter::routerId() const
{
    return d->id;
}

bool KX2TodoRouter::loadConfigure(KX2Journals&, const QJsonObject&)
{
    return true;
}

bool KX2TodoRouter::doSlot(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
{
    const QByteArray command = commandOf(cmdObject);
    if (command.isEmpty())
        return false;
    return d->run(this, command, &KX2TodoRouter::doSlot, retObject, cmdObject, env);
}

bool KX2TodoRouter::doCall(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
{
    const QByteArray command = commandOf(cmdObject);
    if (command.isEmpty())
        return false;
    return d->run(this, kLocalPrefix + command, &KX2TodoRouter::doCall, retObject, cmdObject,
                  env);
}

bool KX2TodoRouter::dispatch(QJsonObject& retObject, const QJsonObject& cmdObject,
                             KX2Cabinet* env)
{
    if (doCall(retObject, cmdObject, env) || doSlot(retObject, cmdObject, env))
        return true;
    if (env) {
        env->setErr(KX2ErrorCode::MethodNotFound,
                    QStringLiteral("被调用的方法不存在: ")
                        + cmdObject.value(QStringLiteral("cmd")).toString());
    }
    return false;
}

void KX2TodoRouter::add(KX2TodoRouter* router)
{
    // A cycle would make every miss recurse forever.
    if (!router || KX2TodoRouterPrivate::reaches(router, this))
        return;
    std::lock_guard<std::mutex> locker(d->routersMutex);
    if (!d->routers.contains(router))
        d->routers.append(router);
}

void KX2TodoRouter::del(KX2TodoRouter* router)
{
    std::lock_guard<std::mutex> locker(d->routersMutex);
    d->routers.removeAll(router);
}

QList<KX2TodoRouter*> KX2TodoRouter::list() const
{
    return d->children();
}

void KX2TodoRouter::inject(QJsonObject* target, int err, const QString& errmsg) const
{
    if (!target)
        return;
    target->insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        target->insert(QStringLiteral("errmsg"), errmsg);
}

void KX2TodoRouter::allInterfaces(QJsonObject& result)
{
    const QJsonObject helpRequest{{QStringLiteral("help"), 1}};
    KX2Cabinet scratch;
    const QMetaObject* meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QByteArray rawName = method.name();
        const QString name = QString::fromUtf8(rawName);
        if (result.contains(name) || isHidden(rawName) || !hasMethodSignature(method))
            continue;
        QJsonObject doc;
        if (rawName == kHelpInterfaces) {
            // Asking help_interfaces for help would list the whole tree.
            doc = helpInterfacesDocument();
        } else {
            KX2TodoRouterPrivate::invoke(this, requestMethodIndex(meta, rawName), &doc,
                                         helpRequest, &scratch);
        }
        if (toBool(doc.value(QStringLiteral("unpublished"))))
            continue;
        result.insert(name, completeDocument(doc, name));
    }
    for (KX2TodoRouter* child : d->children())
        child->allInterfaces(result);
}

void KX2TodoRouter::allInterfaces(QStringList& names)
{
    const QMetaObject* meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (!isHidden(method.name()) && hasMethodSignature(method))
            names.append(QString::fromUtf8(method.name()));
    }
    for (KX2TodoRouter* child : d->children())
        child->allInterfaces(names);
}

void KX2TodoRouter::help_interfaces(QJsonObject* retObject, QJsonObject, KX2Cabinet* envObject)
{
    QJsonObject all{{QLatin1String(kHelpInterfaces), helpInterfacesDocument()}};
    allInterfaces(all);
    if (retObject)
        retObject->insert(QStringLiteral("results"), all);
    if (envObject)
        envObject->setErr(KX2ErrorCode::Success, QString());
}
