#include "kx2todorouter.h"

#include <QHash>
#include <QMetaMethod>
#include <QMetaObject>
#include <QSet>

#include <atomic>
#include <memory>
#include <mutex>

#include "kx2threadsafety.h"
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

// The trimmed command of a request.
QString commandText(const QJsonObject& cmdObject)
{
    return cmdObject.value(QStringLiteral("cmd")).toString().trimmed();
}

// The trimmed command of a request, in the form the meta-object uses.
QByteArray commandOf(const QJsonObject& cmdObject)
{
    return commandText(cmdObject).toUtf8();
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

// Bumped by every add() and del() anywhere: a cached help listing or
// route table is valid only for the tree it was built from.
std::atomic<quint64> g_treeGeneration{1};
// Numbers routers for the route tables; never reused, unlike addresses.
std::atomic<quint64> g_routerSerial{0};

class KX2TodoRouterPrivate
{
    friend class KX2TodoRouter;

public:
    using Children = QList<KX2TodoRouter*>;

    QString id;
    const quint64 serial = ++g_routerSerial;
    // KX2Mutex locks a std::mutex, whose locking ThreadSanitizer sees (the
    // concurrent dispatch test runs under it); QMutex's it does not.
    mutable KX2Mutex routersMutex;
    // Not owned. Replaced, never changed in place, so a reader holds an
    // immutable snapshot for as long as it needs it.
    std::shared_ptr<const Children>
        routers KX2_GUARDED_BY(routersMutex) = std::make_shared<const Children>();

    std::shared_ptr<const Children> children() const
    {
        KX2MutexLocker locker(routersMutex);
        return routers;
    }

    // Request methods of the router's class by name (and by "__LS__" name),
    // built on first use: a router's class does not change after
    // construction, so every later lookup is one hash lookup.
    const QHash<QByteArray, int>& methods(const KX2TodoRouter* self) const
    {
        std::call_once(methodsBuilt, [&] {
            const QMetaObject* meta = self->metaObject();
            for (int i = 0; i < meta->methodCount(); ++i) {
                const QMetaMethod method = meta->method(i);
                const QByteArray name = method.name();
                // The most derived declaration wins, as in indexOfMethod().
                if (method.methodSignature() == name + kMethodSignature)
                    methodIndex.insert(name, i);
            }
        });
        return methodIndex;
    }

    // The help listing of this router's tree, kept for the tree generation
    // it was built for.
    KX2Mutex helpMutex;
    quint64 helpGeneration KX2_GUARDED_BY(helpMutex) = 0;
    QJsonObject helpListing KX2_GUARDED_BY(helpMutex);

    // Where dispatch() sends a command: the router and its method's index.
    struct Route
    {
        KX2TodoRouter* router = nullptr;
        int index = -1;
    };
    using RouteTable = QHash<QString, Route>;

    // The route of `command` through this router's tree, as the two
    // resolve() passes of dispatch() find it; false when there is none.
    bool route(KX2TodoRouter* self, const QString& command, Route& out);

    using Pass = bool (KX2TodoRouter::*)(QJsonObject&, const QJsonObject&, KX2Cabinet*);

    // One dispatch pass for the method `name`: own method, then the
    // children through `pass`, depth first; 9885 into the reply on a miss.
    bool run(KX2TodoRouter* self, const QByteArray& name, Pass pass, QJsonObject& retObject,
             const QJsonObject& cmdObject, KX2Cabinet* env) const;

    // The router of this tree that has the method `name` (own method first,
    // then the children depth first) and the method's index; null when none.
    KX2TodoRouter* resolve(KX2TodoRouter* self, const QByteArray& name, int& index) const;

    // Whether `target` is `from` or lies below it.
    static bool reaches(const KX2TodoRouter* from, const KX2TodoRouter* target);

    static void invoke(KX2TodoRouter* self, int index, QJsonObject* retObject,
                       const QJsonObject& cmdObject, KX2Cabinet* env);

private:
    // Every command of the tree with its route, for one tree generation.
    std::shared_ptr<const RouteTable> buildRoutes(KX2TodoRouter* self) const;

    KX2Mutex routesMutex;
    quint64 routesGeneration KX2_GUARDED_BY(routesMutex) = 0; // generations start at 1
    std::shared_ptr<const RouteTable> routes KX2_GUARDED_BY(routesMutex);

    mutable std::once_flag methodsBuilt;
    mutable QHash<QByteArray, int> methodIndex; // written once, under methodsBuilt
};

bool KX2TodoRouterPrivate::run(KX2TodoRouter* self, const QByteArray& name, Pass pass,
                               QJsonObject& retObject, const QJsonObject& cmdObject,
                               KX2Cabinet* env) const
{
    const int index = methods(self).value(name, -1);
    if (index >= 0) {
        invoke(self, index, &retObject, cmdObject, env);
        return true;
    }
    const std::shared_ptr<const Children> snapshot = children();
    for (KX2TodoRouter* child : *snapshot) {
        if ((child->*pass)(retObject, cmdObject, env))
            return true;
    }
    retObject.insert(QStringLiteral("err"), KX2ErrorCode::MethodNotFound);
    return false;
}

KX2TodoRouter* KX2TodoRouterPrivate::resolve(KX2TodoRouter* self, const QByteArray& name,
                                             int& index) const
{
    index = methods(self).value(name, -1);
    if (index >= 0)
        return self;
    const std::shared_ptr<const Children> snapshot = children();
    for (KX2TodoRouter* child : *snapshot) {
        if (KX2TodoRouter* found = child->d->resolve(child, name, index))
            return found;
    }
    return nullptr;
}

std::shared_ptr<const KX2TodoRouterPrivate::RouteTable>
KX2TodoRouterPrivate::buildRoutes(KX2TodoRouter* self) const
{
    QSet<QByteArray> commands;
    QList<const KX2TodoRouter*> pending{self};
    while (!pending.isEmpty()) {
        const KX2TodoRouter* router = pending.takeFirst();
        const QHash<QByteArray, int>& methods = router->d->methods(router);
        for (auto it = methods.cbegin(); it != methods.cend(); ++it) {
            commands.insert(it.key());
            // "__LS__x" also answers the command "x".
            if (it.key().startsWith(kLocalPrefix))
                commands.insert(it.key().mid(int(sizeof kLocalPrefix) - 1));
        }
        const std::shared_ptr<const Children> snapshot = router->d->children();
        for (KX2TodoRouter* child : *snapshot)
            pending.append(child);
    }
    auto table = std::make_shared<RouteTable>();
    for (const QByteArray& command : commands) {
        Route found;
        found.router = resolve(self, kLocalPrefix + command, found.index);
        if (!found.router)
            found.router = resolve(self, command, found.index);
        if (found.router)
            table->insert(QString::fromUtf8(command), found);
    }
    return table;
}

bool KX2TodoRouterPrivate::route(KX2TodoRouter* self, const QString& command, Route& out)
{
    // Each serving thread keeps the table it used last, so the usual
    // request costs one hash lookup and no lock. The serial tells routers
    // apart even when a new one takes a destroyed one's address.
    struct ThreadRoutes
    {
        quint64 serial = 0;
        quint64 generation = 0;
        std::shared_ptr<const RouteTable> table;
    };
    thread_local ThreadRoutes cached;
    // Read before the tree is walked: a change during the walk leaves the
    // table marked stale.
    const quint64 generation = g_treeGeneration.load();
    if (cached.serial != serial || cached.generation != generation) {
        KX2MutexLocker lock(routesMutex);
        if (routesGeneration != generation) {
            routes = buildRoutes(self);
            routesGeneration = generation;
        }
        cached.serial = serial;
        cached.generation = generation;
        cached.table = routes;
    }
    const auto found = cached.table->constFind(command);
    if (found == cached.table->constEnd())
        return false;
    out = found.value();
    return true;
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
    // router's thread affinity, and finishes before this returns. The
    // signature was checked when the method table was built, so the
    // arguments go straight to the meta-call without a look-up by type name.
    QJsonObject* retArgument = retObject;
    QJsonObject cmdArgument = cmdObject;
    KX2Cabinet* envArgument = env;
    void* arguments[] = {nullptr, &retArgument, &cmdArgument, &envArgument};
    QMetaObject::metacall(self, QMetaObject::InvokeMetaMethod, index, arguments);
}

KX2TodoRouter::KX2TodoRouter(QObject* parent) : QObject(parent), d(new KX2TodoRouterPrivate)
{
    // Environments travel by pointer only; they are never copied.
    qRegisterMetaType<KX2Cabinet*>("KX2Cabinet*");
}

KX2TodoRouter::~KX2TodoRouter() {}

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
    return d->run(this, kLocalPrefix + command, &KX2TodoRouter::doCall, retObject, cmdObject, env);
}

bool KX2TodoRouter::dispatch(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
{
    // The same two passes as doCall() and doSlot(), with the command taken
    // from the request once and looked up in the method tables.
    const QString command = commandText(cmdObject);
    if (!command.isEmpty()) {
        KX2TodoRouterPrivate::Route route;
        if (d->route(this, command, route)) {
            KX2TodoRouterPrivate::invoke(route.router, route.index, &retObject, cmdObject, env);
            return true;
        }
        retObject.insert(QStringLiteral("err"), KX2ErrorCode::MethodNotFound);
    }
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
    KX2MutexLocker locker(d->routersMutex);
    if (d->routers->contains(router))
        return;
    auto changed = std::make_shared<KX2TodoRouterPrivate::Children>(*d->routers);
    changed->append(router);
    d->routers = std::move(changed);
    ++g_treeGeneration;
}

void KX2TodoRouter::del(KX2TodoRouter* router)
{
    KX2MutexLocker locker(d->routersMutex);
    if (!d->routers->contains(router))
        return;
    auto changed = std::make_shared<KX2TodoRouterPrivate::Children>(*d->routers);
    changed->removeAll(router);
    d->routers = std::move(changed);
    ++g_treeGeneration;
}

QList<KX2TodoRouter*> KX2TodoRouter::list() const
{
    // An unshared copy: the caller may keep and change it.
    const std::shared_ptr<const KX2TodoRouterPrivate::Children> snapshot = d->children();
    return QList<KX2TodoRouter*>(snapshot->cbegin(), snapshot->cend());
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
            KX2TodoRouterPrivate::invoke(this, requestMethodIndex(meta, rawName), &doc, helpRequest,
                                         &scratch);
        }
        if (toBool(doc.value(QStringLiteral("unpublished"))))
            continue;
        result.insert(name, completeDocument(doc, name));
    }
    const auto snapshot = d->children();
    for (KX2TodoRouter* child : *snapshot)
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
    const auto snapshot = d->children();
    for (KX2TodoRouter* child : *snapshot)
        child->allInterfaces(names);
}

void KX2TodoRouter::help_interfaces(QJsonObject* retObject, QJsonObject, KX2Cabinet* envObject)
{
    // Help documents are fixed texts, so the listing only changes with the
    // tree; it is built once per tree and then shared by every request.
    QJsonObject all;
    {
        KX2MutexLocker locker(d->helpMutex);
        const quint64 generation = g_treeGeneration.load();
        if (d->helpGeneration != generation) {
            QJsonObject built{{QLatin1String(kHelpInterfaces), helpInterfacesDocument()}};
            allInterfaces(built);
            d->helpListing = built;
            d->helpGeneration = generation;
        }
        all = d->helpListing;
    }
    if (retObject)
        retObject->insert(QStringLiteral("results"), all);
    if (envObject)
        envObject->setErr(KX2ErrorCode::Success, QString());
}
