#pragma once

#include "server/import/filelimits.h"

#include <QByteArray>
#include <QIODevice>

#include <memory>

struct zip;

namespace qav {

// The parts of a zip archive held in memory (a workbook), read within an ImportLimits: the
// entries are counted and their declared sizes summed when it is opened, and every byte inflated
// is counted against the same budget while it is read, since a zip bomb's headers lie. Throws
// FileRefused for an archive that is no zip, is damaged or over a limit. data must outlive it.
class ZipParts
{
public:
    ZipParts(const QByteArray &data, const ImportLimits &limits);
    ~ZipParts();
    ZipParts(const ZipParts &) = delete;
    ZipParts &operator=(const ZipParts &) = delete;

    // Part names are matched without regard to case, as in every Office package.
    bool contains(const QString &name) const;
    // The part as a sequential device that inflates as it is read; at a limit or a damaged byte
    // it ends early and refusal() says why. Throws FileRefused when the part cannot be opened.
    std::unique_ptr<QIODevice> open(const QString &name);
    // Why the last device ended early; empty when none did.
    QString refusal() const { return m_refusal; }

private:
    zip *m_zip = nullptr;
    qint64 m_limit = 0;  // bytes all parts may inflate to
    qint64 m_budget = 0; // of those, what is left
    QString m_refusal;
};

} // namespace qav
