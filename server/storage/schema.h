#pragma once

#include <QStringList>

namespace qav {

// One step of the database's history: the statements that bring a database of version - 1 to
// `version`. `%SERIAL%` stands for the backend's auto-numbered key column type.
struct SchemaStep
{
    int version;
    QStringList statements;
};

// Every step, oldest first. The last step's version is the one this program writes.
const QList<SchemaStep> &schemaSteps();
int currentSchemaVersion();
// The characters a ticket's normal form has none of at either end (QChar::isSpace: the wire's
// normalTicket strips them), for SQL's TRIM(text, characters) on both backends.
QString ticketSpaces();
// Fills the empty counter tables from the bookings and the audit, but for gate_minutes, which
// gateMinuteFillStatement fills.
QStringList counterFillStatements();
QString gateMinuteFillStatement();
// gate_minutes' columns of verification times, each name put into pattern's %1: one per bucket
// of server/base/timebuckets.h (t0, t1, ...), then one per group of buckets (g0, g1, ...).
QStringList timeColumns(const QString &pattern);
QString timeBucketColumn(int k);
QString timeGroupColumn(int group);

} // namespace qav
