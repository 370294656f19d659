// The corpora of the scanning benchmark and their signature sets, made at
// run time (no detectable file is ever committed). Header-only; one
// benchmark process.

#ifndef SCANCORPORA_H
#define SCANCORPORA_H

#include <QDirIterator>

#include <atomic>
#include <thread>

#include "benchsignatures.h"
#include "scancommon.h"

namespace scanbench {

const int kEicarCopies = 20;
const char kTestFiles[] = "/usr/share/clamav-testfiles";
const char kDocs[] = "/usr/share/doc";

// Documentation files, the test files and EICAR copies. Only regular,
// non-empty files with visible names are copied, so every tool counts the
// same files (clamscan skips empty files; the service skips hidden names).
inline qint64 buildMixed(const QString& root)
{
    qint64 files = 0;
    QDirIterator docs(kDocs, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (docs.hasNext()) {
        const QString source = docs.next();
        const QFileInfo info = docs.fileInfo();
        if (info.isSymLink() || !info.isFile() || info.size() == 0 || !info.isReadable())
            continue;
        const QByteArray bytes = readFile(source);
        if (bytes.isEmpty())
            continue;
        if (writeFile(root + "/doc" + source.mid(int(strlen(kDocs))), bytes))
            ++files;
    }
    QDirIterator tests(kTestFiles, QDir::Files | QDir::NoSymLinks);
    while (tests.hasNext()) {
        const QString source = tests.next();
        if (writeFile(root + "/testfiles/" + tests.fileName(), readFile(source)))
            ++files;
    }
    for (int i = 0; i < kEicarCopies; ++i) {
        if (writeFile(
                root + QStringLiteral("/eicar/e%1/eicar-%1.com").arg(i, 2, 10, QLatin1Char('0')),
                eicar()))
            ++files;
    }
    return files;
}

// `count` small files in directories of 1,000, written by two threads.
inline qint64 buildTiny(const QString& root, int count)
{
    const int perDirectory = 1000;
    const int directories = (count + perDirectory - 1) / perDirectory;
    QDir().mkpath(root);
    std::atomic<qint64> written{0};
    auto part = [&](int first, int step) {
        for (int d = first; d < directories; d += step) {
            const QByteArray path =
                QFile::encodeName(root) + QByteArray("/d") + QByteArray::number(d);
            ::mkdir(path.constData(), 0755);
            Fd directory(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (directory.get() < 0)
                continue;
            const int inThis = qMin(perDirectory, count - d * perDirectory);
            for (int f = 0; f < inThis; ++f) {
                const QByteArray name = "f" + QByteArray::number(f);
                if (writeAt(directory.get(), name.constData(),
                            "tiny file " + QByteArray::number(d * perDirectory + f) + '\n'))
                    ++written;
            }
        }
    };
    std::thread other(part, 1, 2);
    part(0, 2);
    other.join();
    return written;
}

// The small signature set: EICAR and clam.exe, by MD5.
inline bool writeSmallSignatures(const QString& directory)
{
    const QByteArray clamExe = readFile(QString(kTestFiles) + "/clam.exe");
    if (clamExe.isEmpty())
        return false;
    return writeFile(directory + "/bench.hdb",
                     hdbLineFor(eicar(), "Bench.Eicar") + hdbLineFor(clamExe, "Bench.ClamExe"));
}

// The small set plus the generated one (bench/benchsignatures.h).
inline bool writeLargeSignatures(const QString& directory, int hdb, int ndb)
{
    return writeSmallSignatures(directory) && writeGeneratedSignatures(directory, hdb, ndb);
}

// ---------------------------------------------------------------- report

// Copies into `copy` the files of `original` it lacks (those the service
// quarantined from its copy), so that every tool scans the same files.
// The number copied.
inline int refill(const QString& original, const QString& copy)
{
    int copied = 0;
    walkFiles(QFile::encodeName(original), [&](const QByteArray& path) {
        const QString target = copy + QFile::decodeName(relativeTo(path, original)).prepend('/');
        if (!QFileInfo::exists(target) && writeFile(target, readFile(QFile::decodeName(path))))
            ++copied;
    });
    return copied;
}

// Reads every file below `root` once, untimed, so that the first tool to
// scan a corpus in a round meets the kernel's caches as the others do.
inline void warm(const QString& root)
{
    walkFiles(QFile::encodeName(root),
              [](const QByteArray& path) { readFile(QFile::decodeName(path)); });
}

} // namespace scanbench

#endif // SCANCORPORA_H
