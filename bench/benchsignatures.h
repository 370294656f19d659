// What the benchmarks share: a large generated signature set and the
// memory figures of a process.

#ifndef BENCHSIGNATURES_H
#define BENCHSIGNATURES_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstring>
#include <random>

// Writes `bytes` to `path`, making its directory; false on any failure.
inline bool writeBenchFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// generated.hdb with `hdb` random MD5 signatures and generated.ndb with `ndb`
// random 16-byte body signatures in `directory`, from a fixed seed so every
// run loads the same set.
inline bool writeGeneratedSignatures(const QString& directory, int hdb, int ndb)
{
    std::mt19937_64 random(8);
    static const char hex[] = "0123456789abcdef";
    auto appendHex = [&](QByteArray& out, int bytes) {
        for (int i = 0; i < bytes; i += 8) {
            quint64 value = random();
            for (int j = 0; j < 16 && i * 2 + j < bytes * 2; ++j, value >>= 4)
                out.append(hex[value & 15]);
        }
    };
    QByteArray text;
    text.reserve(hdb * 56);
    for (int i = 0; i < hdb; ++i) {
        appendHex(text, 16);
        text += ':' + QByteArray::number(qint64(random() % 10000000 + 1)) + ":Bench.Hdb."
            + QByteArray::number(i) + '\n';
    }
    if (!writeBenchFile(directory + "/generated.hdb", text))
        return false;
    text.clear();
    for (int i = 0; i < ndb; ++i) {
        text += "Bench.Ndb." + QByteArray::number(i) + ":0:*:";
        appendHex(text, 16);
        text += '\n';
    }
    return writeBenchFile(directory + "/generated.ndb", text);
}

// A field in kB (VmHWM, VmRSS) of /proc/PID/status, or -1.
inline qint64 statusField(qint64 pid, const char* field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int at = status.indexOf(QByteArray(field) + ':');
    if (at < 0)
        return -1;
    const int end = status.indexOf('\n', at);
    return status.mid(at + int(std::strlen(field)) + 1, end - at)
        .trimmed()
        .split(' ')
        .value(0)
        .toLongLong();
}

#endif // BENCHSIGNATURES_H
