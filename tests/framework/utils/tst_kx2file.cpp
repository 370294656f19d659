// Whole-file, JSON file, directory removal and digest helpers, on real files
// in a temporary directory.

#include "kx2file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <sys/resource.h>

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

// Lowers the file-size limit so writes beyond it fail with EFBIG; the signal
// the kernel would send is ignored for the scope.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

} // namespace

class TestKX2File : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void loadBinaryKeepsBytesOnFailure();
    void saveBinaryCreatesDirectoriesAndReplaces();
    void saveBinaryReportsFailedWrites();
    void savedFilesHaveTheirModeWhateverTheUmask();
    void saveOnFullFileSystemKeepsOldFile();
    void staleTemporariesOfDeadWritersRemoved();
    void loadJsonRules();
    void readJsonObjectRules();
    void saveJsonForms();
    void saveJsonRejectsScalars();
    void removeDirsMissingAndPopulated();
    void removeDirsNeverFollowsLinks();
    void removeDirsUnlinksTopLevelLink(); // removeSelf true: the link goes; false: it stays
    void fileMd5Digests();

private:
    QString path(const QString& relative) const { return m_dir->filePath(relative); }
    QScopedPointer<QTemporaryDir> m_dir;
};

void TestKX2File::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestKX2File::loadBinaryKeepsBytesOnFailure()
{
    QByteArray bytes("previous");
    QVERIFY(!KX2File::loadBinary(bytes, path("missing")));
    QCOMPARE(bytes, QByteArray("previous"));
    QVERIFY(KX2File::readAll(path("missing")).isEmpty());

    const QByteArray content("a\0b\r\nc", 6);
    writeFile(path("data"), content);
    QVERIFY(KX2File::loadBinary(bytes, path("data")));
    QCOMPARE(bytes, content);
    QCOMPARE(KX2File::readAll(path("data")), content);

    // A directory is not a file to read.
    QVERIFY(!KX2File::loadBinary(bytes, m_dir->path()));
    QCOMPARE(bytes, content);
}

void TestKX2File::saveBinaryCreatesDirectoriesAndReplaces()
{
    const QString target = path("a/b/c/file.bin");
    QVERIFY(KX2File::saveBinary(QByteArray(1000, 'x'), target));
    QCOMPARE(KX2File::readAll(target), QByteArray(1000, 'x'));

    QVERIFY(KX2File::saveBinary(QByteArray("short"), target));
    QCOMPARE(KX2File::readAll(target), QByteArray("short"));
    // Nothing but the target remains: no temporary file is left behind.
    QCOMPARE(QDir(path("a/b/c")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"file.bin"});

    QVERIFY(KX2File::saveBinary(QByteArray(), path("empty")));
    QVERIFY(QFileInfo::exists(path("empty")));
    QCOMPARE(QFileInfo(path("empty")).size(), qint64(0));

    // A regular file where a directory is needed makes the save fail.
    writeFile(path("plain"), "x");
    QVERIFY(!KX2File::saveBinary(QByteArray("y"), path("plain/inner")));
    QVERIFY(!KX2File::saveBinary(QByteArray("y"), m_dir->path()));
}

namespace {

int modeOf(const QString& path)
{
    struct stat info
    {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                     : -1;
}

} // namespace

// The settings of a root service are its owner's only by default: neither
// the umask nor the mode of the file replaced decides.
void TestKX2File::savedFilesHaveTheirModeWhateverTheUmask()
{
    const mode_t oldMask = ::umask(0);
    QVERIFY(KX2File::saveJson(path("settings.json"), QJsonObject{{"datadir", "/srv"}}));
    const int created = modeOf(path("settings.json"));
    writeFile(path("old.json"), "{}");
    const int before = modeOf(path("old.json"));
    QVERIFY(KX2File::saveJson(path("old.json"), QJsonObject{}));
    const int replaced = modeOf(path("old.json"));
    QVERIFY(KX2File::saveBinary("published", path("public"), 0644));
    const int published = modeOf(path("public"));
    ::umask(oldMask);
    QCOMPARE(created, 0600);
    QCOMPARE(before, 0666);
    QCOMPARE(replaced, 0600);
    QCOMPARE(published, 0644);

    // An earlier version's 0644 file loses what is beyond the mode asked
    // for; a link is neither followed nor changed.
    QCOMPARE(::chmod(QFile::encodeName(path("public")).constData(), 0664), 0);
    QVERIFY(KX2File::restrictMode(path("public")));
    QCOMPARE(modeOf(path("public")), 0600);
    QCOMPARE(::chmod(QFile::encodeName(path("public")).constData(), 0644), 0);
    QVERIFY(KX2File::restrictMode(path("public"), 0640));
    QCOMPARE(modeOf(path("public")), 0640);
    QVERIFY(KX2File::restrictMode(path("missing")));
    QVERIFY(QFile::link(path("public"), path("link")));
    QVERIFY(!KX2File::restrictMode(path("link"), 0));
    QCOMPARE(modeOf(path("public")), 0640);
}

void TestKX2File::saveBinaryReportsFailedWrites()
{
    const QString target = path("settings.json");
    writeFile(target, "old content");
    bool saved = true;
    {
        FileSizeLimit limit(1024);
        saved = KX2File::saveBinary(QByteArray(64 * 1024, 'n'), target);
    }
    QVERIFY(!saved);
    // The previous content survives a failed write whole.
    QCOMPARE(KX2File::readAll(target), QByteArray("old content"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"settings.json"});
}

void TestKX2File::saveOnFullFileSystemKeepsOldFile()
{
    if (::geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    const QString mountPoint = path("small");
    QVERIFY(QDir().mkpath(mountPoint));
    const QByteArray where = QFile::encodeName(mountPoint);
    if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("tmpfs cannot be mounted here");
    const QString target = mountPoint + "/settings.json";
    writeFile(target, "{\"enabled\": 1}");
    // Fill the file system up to its last block.
    {
        QFile filler(mountPoint + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {}
    }
    const bool saved = KX2File::saveJson(target, QJsonObject{{"datadir", QString(8000, 'd')}});
    const QByteArray after = KX2File::readAll(target);
    const QStringList left =
        QDir(mountPoint).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    ::umount2(where.constData(), MNT_DETACH);
    QVERIFY(!saved);
    QCOMPARE(after, QByteArray("{\"enabled\": 1}"));
    QCOMPARE(left, (QStringList{"filler", "settings.json"}));
}

void TestKX2File::staleTemporariesOfDeadWritersRemoved()
{
    const QString target = path("settings.json");
    writeFile(target, "{}");
    // A writer that was killed: its pid no longer runs.
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    QCOMPARE(::waitpid(dead, nullptr, 0), dead);
    const QString prefix = KX2File::temporaryPrefix(target);
    writeFile(prefix + QString::number(dead) + ".1", "half");
    // One of a live writer, one of this process, and look-alikes.
    writeFile(prefix + "1.1", "init is alive");
    writeFile(prefix + QString::number(::getpid()) + ".7", "ours");
    writeFile(prefix + "abc.1", "not ours");
    writeFile(path("settings.json.x"), "other");
    QCOMPARE(KX2File::removeStaleTemporaries(target), 1);
    QVERIFY(!QFileInfo::exists(prefix + QString::number(dead) + ".1"));
    QCOMPARE(QDir(m_dir->path())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                 .size(),
             5);
    QCOMPARE(KX2File::readAll(target), QByteArray("{}"));
}

void TestKX2File::loadJsonRules()
{
    QJsonObject object{{"keep", 1}};
    QVERIFY(!KX2File::loadJson(object, path("missing.json")));
    QCOMPARE(object, (QJsonObject{{"keep", 1}}));

    writeFile(path("broken.json"), "{\"a\": 1,");
    QVERIFY(!KX2File::loadJson(object, path("broken.json")));
    QCOMPARE(object, (QJsonObject{{"keep", 1}}));

    writeFile(path("array.json"), "[1, 2]");
    QVERIFY(KX2File::loadJson(object, path("array.json")));
    QVERIFY(object.isEmpty());

    writeFile(path("object.json"), "{\"a\": \"b\"}");
    QVERIFY(KX2File::loadJson(object, path("object.json")));
    QCOMPARE(object, (QJsonObject{{"a", "b"}}));
}

void TestKX2File::readJsonObjectRules()
{
    QVERIFY(KX2File::readJsonObject(path("missing.json")).isEmpty());
    writeFile(path("broken.json"), "{\"a\":");
    QVERIFY(KX2File::readJsonObject(path("broken.json")).isEmpty());
    writeFile(path("array.json"), "[{\"a\": 1}]");
    QVERIFY(KX2File::readJsonObject(path("array.json")).isEmpty());
    writeFile(path("object.json"), "{\"lpcid\": \"x\"}");
    QCOMPARE(KX2File::readJsonObject(path("object.json")), (QJsonObject{{"lpcid", "x"}}));
}

void TestKX2File::saveJsonForms()
{
    const QJsonObject object{{"a", 1}};
    QVERIFY(KX2File::saveJson(path("compact.json"), object, true));
    QCOMPARE(KX2File::readAll(path("compact.json")), QByteArray("{\"a\":1}"));

    QVERIFY(KX2File::saveJson(path("deep/er/indented.json"), object, false));
    QCOMPARE(KX2File::readAll(path("deep/er/indented.json")), QByteArray("{\n    \"a\": 1\n}\n"));

    QVERIFY(KX2File::saveJson(path("array.json"), QJsonArray{1, "x"}, true));
    QCOMPARE(KX2File::readAll(path("array.json")), QByteArray("[1,\"x\"]"));
}

void TestKX2File::saveJsonRejectsScalars()
{
    QVERIFY(!KX2File::saveJson(path("string.json"), QJsonValue("text"), true));
    QVERIFY(!QFileInfo::exists(path("string.json")));
    QVERIFY(!KX2File::saveJson(path("null.json"), QJsonValue(), false));
    QVERIFY(!QFileInfo::exists(path("null.json")));
}

void TestKX2File::removeDirsMissingAndPopulated()
{
    QVERIFY(KX2File::removeDirs(path("missing"), true));
    QVERIFY(KX2File::removeDirs(path("missing"), false));

    const QString root = path("root");
    QVERIFY(QDir().mkpath(root + "/sub/.hidden"));
    writeFile(root + "/file", "1");
    writeFile(root + "/.dot", "2");
    writeFile(root + "/sub/.hidden/deep", "3");

    QVERIFY(!KX2File::removeDirs(root, false));
    QVERIFY(QDir(root).exists());
    QVERIFY(
        QDir(root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));

    QVERIFY(QDir().mkpath(root + "/again"));
    QVERIFY(KX2File::removeDirs(root, true));
    QVERIFY(!QFileInfo::exists(root));
}

void TestKX2File::removeDirsNeverFollowsLinks()
{
    const QString outside = path("outside");
    QVERIFY(QDir().mkpath(outside + "/nested"));
    writeFile(outside + "/precious", "keep me");
    writeFile(outside + "/nested/also", "keep me too");
    writeFile(path("lonely"), "single file");

    const QString tree = path("tree");
    QVERIFY(QDir().mkpath(tree + "/inner"));
    QVERIFY(QFile::link(outside, tree + "/inner/to-outside"));
    QVERIFY(QFile::link(path("lonely"), tree + "/to-file"));
    QVERIFY(QFile::link(path("nowhere"), tree + "/dangling"));

    QVERIFY(KX2File::removeDirs(tree, true));
    QVERIFY(!QFileInfo::exists(tree));
    QCOMPARE(KX2File::readAll(outside + "/precious"), QByteArray("keep me"));
    QCOMPARE(KX2File::readAll(outside + "/nested/also"), QByteArray("keep me too"));
    QCOMPARE(KX2File::readAll(path("lonely")), QByteArray("single file"));
}

void TestKX2File::removeDirsUnlinksTopLevelLink()
{
    const QString target = path("target");
    QVERIFY(QDir().mkpath(target));
    writeFile(target + "/precious", "keep me");
    const QString link = path("link");
    QVERIFY(QFile::link(target, link));

    QVERIFY(KX2File::removeDirs(link, true));
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(KX2File::readAll(target + "/precious"), QByteArray("keep me"));

    // Emptying a link (a work directory that someone replaced by a link to
    // elsewhere) leaves both the link and what it points at: the path was
    // not to go, and the target is not this tree's to empty. The directory
    // is still there, so the result is false.
    QVERIFY(QFile::link(target, link));
    QVERIFY(!KX2File::removeDirs(link, false));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), QFileInfo(target).absoluteFilePath());
    QCOMPARE(KX2File::readAll(target + "/precious"), QByteArray("keep me"));
    QCOMPARE(QDir(target).entryList(QDir::Files), QStringList{"precious"});

    // A dangling link is left as well.
    const QString dangling = path("dangling");
    QVERIFY(QFile::link(path("nowhere"), dangling));
    KX2File::removeDirs(dangling, false);
    QVERIFY(QFileInfo(dangling).isSymLink());
}

void TestKX2File::fileMd5Digests()
{
    QVERIFY(KX2File::fileMd5(path("missing")).isNull());

    writeFile(path("empty"), QByteArray());
    QCOMPARE(KX2File::fileMd5(path("empty")), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));

    writeFile(path("abc"), "abc");
    QCOMPARE(KX2File::fileMd5(path("abc")), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));

    // Several chunks, the last one partial.
    QByteArray large;
    for (int i = 0; i < 10000; ++i) {
        large.append(char(i * 7 % 251));
    }
    writeFile(path("large"), large);
    QCOMPARE(KX2File::fileMd5(path("large")),
             QString::fromLatin1(QCryptographicHash::hash(large, QCryptographicHash::Md5).toHex()));
}

QTEST_GUILESS_MAIN(TestKX2File)
#include "tst_kx2file.moc"
