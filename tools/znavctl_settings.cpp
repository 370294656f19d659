// znavctl settings [set KEY=VALUE...], schedule [off | daily | weekly |
// monthly ...]: the user settings and the scheduled scan.
//
// A change is a read-modify-write: the current settings come from
// antivirus_settings_load, the change is applied to that whole object and
// the result goes back through antivirus_settings_save. The service thus
// always receives complete settings, whatever part the user changed, and
// keys this client does not know pass through unchanged. Values are checked
// here first, so an out-of-range value ("schedule.hour=25") is refused with
// a message naming the allowed range instead of being clamped silently.

#include "znavctl.h"

#include "kx2escape.h"
#include "kx2values.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QTextStream>
#include <QTime>

namespace znavctl {
namespace {

const char* const kWeekdays[] = {"monday", "tuesday",  "wednesday", "thursday",
                                 "friday", "saturday", "sunday"};

// A whole number within [low, high], or false.
bool numberIn(const QString& text, int low, int high, int& value)
{
    bool ok = false;
    value = text.trimmed().toInt(&ok);
    return ok && value >= low && value <= high;
}

bool parseBool(const QString& text, int& value)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("1") || t == QLatin1String("yes") || t == QLatin1String("true")
        || t == QLatin1String("on")) {
        value = 1;
        return true;
    }
    if (t == QLatin1String("0") || t == QLatin1String("no") || t == QLatin1String("false")
        || t == QLatin1String("off")) {
        value = 0;
        return true;
    }
    return false;
}

// Monday is 1, Sunday 7; a name, its first three letters, or the number.
bool parseWeekday(const QString& text, int& value)
{
    const QString t = text.trimmed().toLower();
    for (int day = 0; day < 7; ++day) {
        const QString name = QLatin1String(kWeekdays[day]);
        if (t == name || (t.size() == 3 && name.startsWith(t))) {
            value = day + 1;
            return true;
        }
    }
    return numberIn(t, 1, 7, value);
}

QString weekdayName(int day)
{
    const QString name = QLatin1String(kWeekdays[(day >= 1 && day <= 7 ? day : 7) - 1]);
    return name.left(1).toUpper() + name.mid(1);
}

// One settable key: how its text becomes the stored value, and what the
// message says when it cannot.
struct Setting
{
    const char* key;
    const char* accepted; // completes "KEY takes ..."
    std::function<bool(const QString&, QJsonValue&)> parse;
};

bool setNumber(const QString& text, int low, int high, QJsonValue& out)
{
    int value = 0;
    if (!numberIn(text, low, high, value))
        return false;
    out = value;
    return true;
}

// A yes/no setting, stored as 1 or 0 as the service writes it back.
bool setSwitch(const QString& text, QJsonValue& out)
{
    int value = 0;
    if (!parseBool(text, value))
        return false;
    out = value;
    return true;
}

const QList<Setting>& settingsTable()
{
    static const QList<Setting> table{
        {"enabled", "yes or no (also 1/0, true/false, on/off)", setSwitch},
        {"datadir", "an existing directory (the work area, made absolute)",
         [](const QString& text, QJsonValue& out) {
             const QFileInfo info(text.trimmed());
             if (text.trimmed().isEmpty() || !info.isDir())
                 return false;
             out = info.absoluteFilePath();
             return true;
         }},
        {"threads", "a whole number from 1 to 256",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 256, out); }},
        {"vdbauto", "yes or no (also 1/0, true/false, on/off)", setSwitch},
        {"incremental", "yes or no (also 1/0, true/false, on/off)", setSwitch},
        {"skiphidden", "yes or no (also 1/0, true/false, on/off)", setSwitch},
        {"cachemaxentries", "a whole number from 1 to 1000000000",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 1000000000, out); }},
        {"maxfilesize", "a whole number of MiB from 1 to 2047",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 2047, out); }},
        {"maxscansize", "a whole number of MiB from 1 to 4095",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 4095, out); }},
        {"maxrecursion", "a whole number from 1 to 64",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 64, out); }},
        {"maxfiles", "a whole number from 1 to 1000000",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 1000000, out); }},
        {"maxscantime", "a whole number of seconds from 1 to 86400",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 86400, out); }},
        {"limitsalert", "yes or no (also 1/0, true/false, on/off)", setSwitch},
        {"schedule.mode", "0 (off), 1 (daily), 2 (weekly) or 3 (monthly)",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 0, 3, out); }},
        {"schedule.hour", "a whole number from 0 to 23",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 0, 23, out); }},
        {"schedule.minute", "a whole number from 0 to 59",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 0, 59, out); }},
        {"schedule.week", "a weekday, monday to sunday or 1 to 7",
         [](const QString& text, QJsonValue& out) {
             int value = 0;
             if (!parseWeekday(text, value))
                 return false;
             out = value;
             return true;
         }},
        {"schedule.day", "a day of the month from 1 to 31",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 31, out); }},
        {"schedule.scope", "1 (the overall path) or 2 (every mission)",
         [](const QString& text, QJsonValue& out) { return setNumber(text, 1, 2, out); }},
    };
    return table;
}

QString settableKeys()
{
    QStringList keys;
    for (const Setting& setting : settingsTable())
        keys << QLatin1String(setting.key);
    return keys.join(QStringLiteral(", "));
}

// "weekly on Sunday at 06:00, the overall path"
QString describeSchedule(const QJsonObject& schedule)
{
    const int mode = toInt(schedule.value(QStringLiteral("mode")));
    if (mode < 1 || mode > 3)
        return QStringLiteral("off");
    const QString time =
        QStringLiteral("%1:%2")
            .arg(toInt(schedule.value(QStringLiteral("hour"))), 2, 10, QLatin1Char('0'))
            .arg(toInt(schedule.value(QStringLiteral("minute"))), 2, 10, QLatin1Char('0'));
    QString when;
    if (mode == 1)
        when = QStringLiteral("daily at %1").arg(time);
    else if (mode == 2)
        when = QStringLiteral("weekly on %1 at %2")
                   .arg(weekdayName(toInt(schedule.value(QStringLiteral("week")))), time);
    else
        when = QStringLiteral("monthly on day %1 at %2")
                   .arg(toInt(schedule.value(QStringLiteral("day"))))
                   .arg(time);
    const bool missions = toInt(schedule.value(QStringLiteral("scope"))) == 2;
    return when
        + (missions ? QStringLiteral(", every mission") : QStringLiteral(", the overall path"));
}

// The current settings; -1 when they came, otherwise the exit status.
int loadSettings(const Options& options, const QString& what, QJsonObject& settings)
{
    QJsonObject reply;
    Failure failure;
    if (!exchange(options, command("antivirus_settings_load"), reply, failure))
        return fail(failure.message);
    if (!succeeded(reply))
        return reportFailure(what, reply);
    settings = reply.value(QStringLiteral("results")).toObject();
    return -1;
}

// Saves the whole of `settings`; prints the outcome.
int saveSettings(const Options& options, const QString& what, QJsonObject settings,
                 const QString& done)
{
    // Written by the service from the last database description; a copy
    // saved back would only go stale.
    settings.remove(QStringLiteral("updatetime"));
    QJsonObject request = command("antivirus_settings_save");
    request.insert(QStringLiteral("params"), settings);
    QJsonObject reply;
    Failure failure;
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    if (options.json) {
        printJson(reply);
        return succeeded(reply) ? ExitSuccess : ExitError;
    }
    if (!succeeded(reply))
        return reportFailure(what, reply);
    printLine(stdout, done);
    return ExitSuccess;
}

void showSettings(const QJsonObject& settings)
{
    QTextStream out(stdout);
    auto yesNo = [&](const char* key) {
        return toInt(settings.value(QLatin1String(key))) ? QStringLiteral("yes")
                                                         : QStringLiteral("no");
    };
    const QString datadir = kx2Escaped(settings.value(QStringLiteral("datadir")).toString());
    out << "enabled:    " << yesNo("enabled") << '\n';
    out << "datadir:    " << (datadir.isEmpty() ? QStringLiteral("(none)") : datadir) << '\n';
    out << "threads:    " << cell(settings.value(QStringLiteral("threads"))) << '\n';
    out << "vdbauto:    " << yesNo("vdbauto") << '\n';
    // Both absent until set: incremental scans are on, with the default bound.
    const QJsonValue incremental = settings.value(QStringLiteral("incremental"));
    const QJsonValue bound = settings.value(QStringLiteral("cachemaxentries"));
    out << "incremental: " << (incremental.isUndefined() || toBool(incremental) ? "yes" : "no")
        << " (at most " << (bound.isUndefined() ? QStringLiteral("5000000") : cell(bound))
        << " files remembered)\n";
    out << "skiphidden: " << (toBool(settings.value(QStringLiteral("skiphidden"))) ? "yes" : "no")
        << '\n';
    out << "schedule:   " << describeSchedule(settings.value(QStringLiteral("schedule")).toObject())
        << '\n';
    out << "updatetime: "
        << kx2Escaped(
               settings.value(QStringLiteral("updatetime")).toString(QStringLiteral("unknown")))
        << '\n';
}

// settings | settings set KEY=VALUE...
int settingsCommand(const Options& options, const QCommandLineParser& parser)
{
    const QString name = QStringLiteral("settings");
    const QStringList args = parser.positionalArguments();
    if (!args.isEmpty() && args.first() != QLatin1String("set"))
        return usageFailure(name, QStringLiteral("unknown action %1").arg(args.first()));
    if (args.isEmpty()) {
        QJsonObject settings;
        const int status = loadSettings(options, name, settings);
        if (status >= 0)
            return status;
        if (options.json)
            printJson(
                QJsonObject{{QStringLiteral("err"), 0}, {QStringLiteral("results"), settings}});
        else
            showSettings(settings);
        return ExitSuccess;
    }

    const QStringList assignments = args.mid(1);
    if (assignments.isEmpty())
        return usageFailure(name, QStringLiteral("set needs KEY=VALUE"));
    // Every value is checked before anything is sent.
    QList<QPair<QString, QJsonValue>> changes;
    for (const QString& assignment : assignments) {
        const int equals = assignment.indexOf(QLatin1Char('='));
        const QString key = assignment.left(equals).trimmed();
        if (equals <= 0)
            return usageFailure(name, QStringLiteral("%1 is not KEY=VALUE").arg(assignment));
        const QString text = assignment.mid(equals + 1);
        const Setting* setting = nullptr;
        for (const Setting& candidate : settingsTable()) {
            if (key == QLatin1String(candidate.key))
                setting = &candidate;
        }
        if (!setting)
            return usageFailure(
                name, QStringLiteral("unknown setting %1 (settable: %2)").arg(key, settableKeys()));
        QJsonValue value;
        if (!setting->parse(text, value))
            return usageFailure(name,
                                QStringLiteral("%1=%2 refused: %1 takes %3")
                                    .arg(key, text, QLatin1String(setting->accepted)));
        changes << qMakePair(key, value);
    }

    QJsonObject settings;
    const int status = loadSettings(options, name, settings);
    if (status >= 0)
        return status;
    QJsonObject schedule = settings.value(QStringLiteral("schedule")).toObject();
    QStringList applied;
    for (const auto& change : changes) {
        if (change.first.startsWith(QLatin1String("schedule.")))
            schedule.insert(change.first.mid(9), change.second);
        else
            settings.insert(change.first, change.second);
        applied << QStringLiteral("%1=%2").arg(change.first, cell(change.second));
    }
    settings.insert(QStringLiteral("schedule"), schedule);
    return saveSettings(options, name, settings,
                        QStringLiteral("saved: ") + applied.join(QLatin1Char(' ')));
}

// "HH:MM" with 0..23 and 0..59.
bool parseTime(const QString& text, int& hour, int& minute)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    return parts.size() == 2 && numberIn(parts.at(0), 0, 23, hour)
        && numberIn(parts.at(1), 0, 59, minute);
}

// schedule | schedule off | schedule daily|weekly|monthly --time HH:MM
// [--day D] [--scope overall|missions]
int scheduleCommand(const Options& options, const QCommandLineParser& parser)
{
    const QString name = QStringLiteral("schedule");
    const QStringList args = parser.positionalArguments();
    if (args.size() > 1)
        return usageFailure(name, QStringLiteral("name one of off, daily, weekly, monthly"));
    const QString mode = args.value(0);
    const bool hasTime = parser.isSet(QStringLiteral("time"));
    const bool hasDay = parser.isSet(QStringLiteral("day"));
    const bool hasScope = parser.isSet(QStringLiteral("scope"));

    if (mode.isEmpty()) {
        if (hasTime || hasDay || hasScope)
            return usageFailure(name, QStringLiteral("--time, --day and --scope need a mode"));
        QJsonObject settings;
        const int status = loadSettings(options, name, settings);
        if (status >= 0)
            return status;
        const QJsonObject schedule = settings.value(QStringLiteral("schedule")).toObject();
        if (options.json)
            printJson(
                QJsonObject{{QStringLiteral("err"), 0}, {QStringLiteral("results"), schedule}});
        else
            printLine(stdout, QStringLiteral("scheduled scan: ") + describeSchedule(schedule));
        return ExitSuccess;
    }

    static const QStringList modes{QStringLiteral("off"), QStringLiteral("daily"),
                                   QStringLiteral("weekly"), QStringLiteral("monthly")};
    const int modeNumber = modes.indexOf(mode);
    if (modeNumber < 0)
        return usageFailure(
            name, QStringLiteral("unknown mode %1; say off, daily, weekly or monthly").arg(mode));

    QJsonObject change{{QStringLiteral("mode"), modeNumber}};
    if (modeNumber == 0) {
        if (hasTime || hasDay || hasScope)
            return usageFailure(name, QStringLiteral("off takes no --time, --day or --scope"));
    } else {
        int hour = 0, minute = 0;
        if (!hasTime)
            return usageFailure(name, QStringLiteral("%1 needs --time HH:MM").arg(mode));
        if (!parseTime(parser.value(QStringLiteral("time")), hour, minute))
            return usageFailure(name,
                                QStringLiteral("--time %1 refused: give HH:MM, hours 0 to "
                                               "23, minutes 0 to 59")
                                    .arg(parser.value(QStringLiteral("time"))));
        change.insert(QStringLiteral("hour"), hour);
        change.insert(QStringLiteral("minute"), minute);
        const QString dayText = parser.value(QStringLiteral("day"));
        int day = 0;
        if (modeNumber == 1 && hasDay)
            return usageFailure(name, QStringLiteral("daily takes no --day"));
        if (modeNumber == 2) {
            if (!hasDay || !parseWeekday(dayText, day))
                return usageFailure(
                    name,
                    QStringLiteral("weekly needs --day with a weekday, "
                                   "monday to sunday or 1 to 7%1")
                        .arg(hasDay ? QStringLiteral(" (not %1)").arg(dayText) : QString()));
            change.insert(QStringLiteral("week"), day);
        }
        if (modeNumber == 3) {
            if (!hasDay || !numberIn(dayText, 1, 31, day))
                return usageFailure(
                    name,
                    QStringLiteral("monthly needs --day with a day of the "
                                   "month, 1 to 31%1")
                        .arg(hasDay ? QStringLiteral(" (not %1)").arg(dayText) : QString()));
            change.insert(QStringLiteral("day"), day);
        }
        if (hasScope) {
            const QString scope = parser.value(QStringLiteral("scope"));
            if (scope == QLatin1String("overall"))
                change.insert(QStringLiteral("scope"), 1);
            else if (scope == QLatin1String("missions"))
                change.insert(QStringLiteral("scope"), 2);
            else
                return usageFailure(
                    name, QStringLiteral("--scope %1 refused: say overall or missions").arg(scope));
        }
    }

    QJsonObject settings;
    const int status = loadSettings(options, name, settings);
    if (status >= 0)
        return status;
    QJsonObject schedule = settings.value(QStringLiteral("schedule")).toObject();
    for (auto it = change.begin(); it != change.end(); ++it)
        schedule.insert(it.key(), it.value());
    settings.insert(QStringLiteral("schedule"), schedule);
    return saveSettings(options, name, settings,
                        QStringLiteral("scheduled scan: ") + describeSchedule(schedule));
}

} // namespace

void addSettingsCommands(QList<Command>& table)
{
    table << Command{
        QStringLiteral("settings"), QStringLiteral("[set KEY=VALUE...]"),
        QStringLiteral("Shows the user settings, or changes some of them (the others are kept)."),
        [](QCommandLineParser& parser) {
            parser.addPositionalArgument(
                QStringLiteral("set"),
                QStringLiteral("change the settings named; settable keys: %1. Example: set "
                               "threads=4 schedule.hour=3")
                    .arg(settableKeys()),
                QStringLiteral("[set KEY=VALUE...]"));
        },
        settingsCommand};
    table << Command{
        QStringLiteral("schedule"),
        QStringLiteral("[off | daily|weekly|monthly --time HH:MM [--day D] [--scope S]]"),
        QStringLiteral("Shows or sets the scheduled scan."),
        [](QCommandLineParser& parser) {
            parser.addPositionalArgument(
                QStringLiteral("mode"),
                QStringLiteral("off, daily, weekly (with --day WEEKDAY) or monthly (with --day "
                               "1-31); without a mode the schedule is shown"),
                QStringLiteral("[off | daily | weekly | monthly]"));
            parser.addOptions({
                {QStringLiteral("time"), QStringLiteral("Start time, 00:00 to 23:59."),
                 QStringLiteral("HH:MM")},
                {QStringLiteral("day"),
                 QStringLiteral("weekly: monday..sunday (mon, 1-7); monthly: 1-31 (months "
                                "without that day are skipped)."),
                 QStringLiteral("D")},
                {QStringLiteral("scope"),
                 QStringLiteral("What to scan: overall (the overall path) or missions (every "
                                "mission). Unchanged when not given."),
                 QStringLiteral("S")},
            });
        },
        scheduleCommand};
}

} // namespace znavctl
