// Ownership rules of KX2UniqueFd: exactly one owner closes a descriptor.

#include "kx2uniquefd.h"

#include <QtTest>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Whether `fd` still names an open descriptor of this process.
bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

int openNull()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

class TestKX2UniqueFd : public QObject
{
    Q_OBJECT

private slots:
    void defaultOwnsNothing();
    void destructorCloses();
    void releaseKeepsDescriptorOpen();
    void resetClosesPrevious();
    void resetToSameDescriptorKeepsIt();
    void moveTransfersOwnership();
    void moveAssignClosesTarget();
    void closingKeepsErrno();
};

void TestKX2UniqueFd::defaultOwnsNothing()
{
    const KX2UniqueFd fd;
    QCOMPARE(fd.get(), -1);
    QVERIFY(!fd.isValid());
}

void TestKX2UniqueFd::destructorCloses()
{
    int raw = -1;
    {
        const KX2UniqueFd fd(openNull());
        raw = fd.get();
        QVERIFY(fd.isValid());
        QVERIFY(isOpen(raw));
    }
    QVERIFY(!isOpen(raw));
}

void TestKX2UniqueFd::releaseKeepsDescriptorOpen()
{
    int raw = -1;
    {
        KX2UniqueFd fd(openNull());
        raw = fd.release();
        QVERIFY(!fd.isValid());
    }
    QVERIFY(isOpen(raw));
    ::close(raw);
}

void TestKX2UniqueFd::resetClosesPrevious()
{
    KX2UniqueFd fd(openNull());
    const int first = fd.get();
    const int second = openNull();
    fd.reset(second);
    QVERIFY(!isOpen(first));
    QCOMPARE(fd.get(), second);
    fd.reset();
    QVERIFY(!isOpen(second));
    QVERIFY(!fd.isValid());
}

void TestKX2UniqueFd::resetToSameDescriptorKeepsIt()
{
    KX2UniqueFd fd(openNull());
    const int raw = fd.get();
    fd.reset(raw);
    QVERIFY(isOpen(raw));
    QCOMPARE(fd.get(), raw);
}

void TestKX2UniqueFd::moveTransfersOwnership()
{
    KX2UniqueFd from(openNull());
    const int raw = from.get();
    {
        const KX2UniqueFd to(std::move(from));
        QVERIFY(!from.isValid());
        QCOMPARE(to.get(), raw);
        QVERIFY(isOpen(raw));
    }
    QVERIFY(!isOpen(raw));
}

void TestKX2UniqueFd::moveAssignClosesTarget()
{
    KX2UniqueFd target(openNull());
    const int old = target.get();
    KX2UniqueFd source(openNull());
    const int moved = source.get();
    target = std::move(source);
    QVERIFY(!isOpen(old));
    QVERIFY(!source.isValid());
    QCOMPARE(target.get(), moved);
    QVERIFY(isOpen(moved));
}

void TestKX2UniqueFd::closingKeepsErrno()
{
    {
        const KX2UniqueFd fd(openNull());
        errno = ENOSPC;
    }
    QCOMPARE(errno, ENOSPC);
}

QTEST_APPLESS_MAIN(TestKX2UniqueFd)
#include "tst_kx2uniquefd.moc"
