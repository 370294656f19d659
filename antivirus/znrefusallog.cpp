#include "znrefusallog.h"

#include <QDateTime>

#include <iterator>

void ZNRefusalLog::closeOldestLocked(QStringList& lines)
{
    const Window& oldest = windows.front();
    if (oldest.unlogged > 0)
        lines << QStringLiteral("[refused] %1 further refusals from uid %2 in the minute from %3")
                     .arg(oldest.unlogged)
                     .arg(oldest.uid)
                     .arg(QDateTime::fromMSecsSinceEpoch(oldest.startMs)
                              .toString(QStringLiteral("HH:mm:ss")));
    byUid.erase(oldest.uid);
    windows.pop_front();
}

QStringList ZNRefusalLog::refuse(uid_t uid, const QString& line, qint64 nowMs)
{
    QStringList lines;
    KX2MutexLocker lock(mutex);
    // Windows start in the order they are listed, so the ended ones lead.
    while (!windows.empty() && nowMs - windows.front().startMs >= kWindowMs)
        closeOldestLocked(lines);
    auto found = byUid.find(uid);
    if (found == byUid.end()) {
        if (windows.size() >= maxUids)
            closeOldestLocked(lines);
        windows.push_back(Window{uid, nowMs, 0, 0});
        found = byUid.emplace(uid, std::prev(windows.end())).first;
    }
    Window& window = *found->second;
    if (window.logged < kLinesPerWindow) {
        ++window.logged;
        lines << line;
    } else {
        ++window.unlogged;
    }
    return lines;
}
