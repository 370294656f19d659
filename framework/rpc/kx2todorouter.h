// KX2TodoRouter: turns a request's "cmd" into a call of a request method.
//
// A request method is a slot (or invokable) of a router class with exactly
// this signature:
//
//     void name(QJsonObject* retObject, QJsonObject cmdObject,
//               KX2Cabinet* envObject);
//
// It is found by name through the Qt meta-object system (the router's class
// and its base classes; names are case sensitive) and invoked directly on
// the calling thread. `retObject` is the reply, `cmdObject` the whole
// request, `envObject` the connection's environment and journal. A request
// that carries the key "help" asks the method for its help document: the
// method replaces *retObject by that document and does nothing else.
//
// Routers form a tree: a router hands on whatever it cannot answer to its
// child routers, depth first, in the order they were added; the first
// router that has the method wins. dispatch() first looks everywhere for
// "__LS__" + command, then for the command itself. Methods whose names
// begin with "_" are never listed by help_interfaces.
//
// Ownership: children are not owned; their owner deletes them and must
// del() them first if the parent outlives them.
//
// Threads: dispatch may run on several connection threads at once; the
// child list is guarded by a mutex and every traversal works on an
// immutable snapshot, so add() and del() are safe at any time. The table of
// a router's request methods is built on first use from its class;
// dispatch() finds a command in a route table of the whole tree, built again
// after any add() or del(), and each thread keeps the table it used last.
// Request methods of derived routers guard their own state.

#ifndef KX2TODOROUTER_H
#define KX2TODOROUTER_H

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

#include "kx2cabinet.h"
#include "kx2journals.h"

class KX2TodoRouterPrivate;

class KX2TodoRouter : public QObject
{
    Q_OBJECT
public:
    explicit KX2TodoRouter(QObject* parent = nullptr);
    ~KX2TodoRouter() override;

    virtual QString routerId() const;
    // Configuration hook; the base accepts everything.
    virtual bool loadConfigure(KX2Journals& journal, const QJsonObject& configure);
    // Plain pass: the method named by the trimmed "cmd". True when a method
    // was invoked; when nothing matched anywhere, writes 9885 under
    // retObject's "err" and returns false. An empty command returns false
    // without touching retObject.
    virtual bool doSlot(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env);
    // "__LS__" pass: as doSlot() for the method "__LS__" + trimmed "cmd".
    virtual bool doCall(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env);

    // Dispatches one request through this router's tree: the "__LS__" pass,
    // then the plain pass, as doCall() and doSlot() do them (through the
    // routers' method tables, not through overrides of those two). When
    // neither finds a method and `env` is given, records 9885
    // "被调用的方法不存在: " + the untrimmed "cmd" on it.
    bool dispatch(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env);

    // Appends a child unless it is null, already present, or would make the
    // tree cyclic (this router itself or one of its ancestors).
    void add(KX2TodoRouter* router);
    void del(KX2TodoRouter* router);
    QList<KX2TodoRouter*> list() const;

    // target["err"] = err; target["errmsg"] = errmsg when non-empty.
    void inject(QJsonObject* target, int err, const QString& errmsg) const;

    // Adds under its name the help document of every published method of
    // this router and of all routers below it; names already in `result`
    // are kept (the first router that publishes a name wins).
    void allInterfaces(QJsonObject& result);
    // Appends the name of every request method not beginning with "_" of
    // this router and all routers below it (no de-duplication).
    void allInterfaces(QStringList& names);

protected slots:
    // Built-in method: results = the help documents of all published
    // methods of this router's tree; err 0. Help documents must be fixed
    // texts: the listing is built once per shape of the tree and reused.
    virtual void help_interfaces(QJsonObject* retObject, QJsonObject cmdObject,
                                 KX2Cabinet* envObject);

private:
    friend class KX2TodoRouterPrivate; // walks the tree through the children's d
    const std::unique_ptr<KX2TodoRouterPrivate> d;
};

#endif // KX2TODOROUTER_H
