#pragma once

// What every room that a qav-server command runs in says on the command line: its output, and
// the errors runAdmin turns into exit codes. The options, the database and the command table are
// server/cli's.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

namespace qav::cli {

void out(const QString &text);
void err(const QString &text); // "qav-server: " first

// Thrown for a wrong use of the command line; exit code 2.
struct UsageError
{
    QString text;
};

// The one error for a thing a command names that does not exist: "unknown venue '77'", or with
// where it was looked for, "unknown ticket '55' for performance 'GRVM0001'"; exit code 1.
// Thrown only through notFound, so every command words it the same way.
struct NotFound
{
    QString what;
    QString name;
    QString within; // "performance 'GRVM0001'", or empty
    QString text() const;
};
[[noreturn]] void notFound(const QString &what, const QString &name, const QString &within = {});

// The value of an option that takes a positive whole number; UsageError naming the option when
// it is anything else.
int positiveOption(const QCommandLineParser &p, const QCommandLineOption &option);

} // namespace qav::cli
