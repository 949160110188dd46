#include "server/import/zipparts.h"

#include <zip.h>

namespace qav {

namespace {

// One part, inflated as it is read. Stops with a refusal once it gives more bytes than its
// header declared or than the budget left, whichever comes first.
class PartDevice : public QIODevice
{
public:
    PartDevice(zip_file_t *file, const QString &name, qint64 declared, qint64 *budget,
               qint64 budgetTotal, QString *refusal)
        : m_file(file), m_name(name), m_declared(declared), m_budget(budget),
          m_budgetTotal(budgetTotal), m_refusal(refusal)
    {
        QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    ~PartDevice() override { zip_fclose(m_file); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = zip_fread(m_file, data, zip_uint64_t(maxSize));
        if (n < 0) {
            *m_refusal = QStringLiteral("the workbook is damaged: %1: %2")
                             .arg(m_name, QString::fromUtf8(zip_file_strerror(m_file)));
            return -1;
        }
        m_read += n;
        *m_budget -= n;
        if (m_read > m_declared) {
            *m_refusal = QStringLiteral("the workbook's part %1 inflates past the %2 bytes its "
                                        "header declares: a damaged file or a zip bomb")
                             .arg(m_name)
                             .arg(m_declared);
            return -1;
        }
        if (*m_budget < 0) {
            *m_refusal =
                QStringLiteral("the workbook inflates past %1").arg(sizeText(m_budgetTotal));
            return -1;
        }
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    zip_file_t *m_file;
    QString m_name;
    qint64 m_declared;
    qint64 m_read = 0;
    qint64 *m_budget;
    qint64 m_budgetTotal;
    QString *m_refusal;
};

} // namespace

ZipParts::ZipParts(const QByteArray &data, const ImportLimits &limits)
    : m_limit(limits.unzippedBytes), m_budget(limits.unzippedBytes)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *source =
        zip_source_buffer_create(data.constData(), zip_uint64_t(data.size()), 0, &error);
    if (source)
        m_zip = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (!m_zip) {
        const QString why = QString::fromUtf8(zip_error_strerror(&error));
        zip_error_fini(&error);
        if (source)
            zip_source_free(source);
        throw FileRefused{QStringLiteral("the workbook is damaged: %1").arg(why)};
    }
    zip_error_fini(&error);

    const zip_int64_t entries = zip_get_num_entries(m_zip, 0);
    if (entries > limits.zipEntries) {
        zip_discard(m_zip);
        throw FileRefused{QStringLiteral("the workbook holds %1 parts; a booking workbook has at "
                                         "most %2")
                              .arg(entries)
                              .arg(limits.zipEntries),
                          FileRefused::Why::TooManyParts, limits.zipEntries};
    }
    qint64 declared = 0;
    for (zip_int64_t i = 0; i < entries; ++i) {
        zip_stat_t st;
        if (zip_stat_index(m_zip, zip_uint64_t(i), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE))
            declared +=
                qint64(std::min<zip_uint64_t>(st.size, zip_uint64_t(limits.unzippedBytes) + 1));
        if (declared > limits.unzippedBytes) {
            zip_discard(m_zip);
            throw FileRefused{QStringLiteral("the workbook would inflate to more than %1")
                                  .arg(sizeText(limits.unzippedBytes)),
                              FileRefused::Why::Inflates, limits.unzippedBytes};
        }
    }
}

ZipParts::~ZipParts()
{
    zip_discard(m_zip);
}

bool ZipParts::contains(const QString &name) const
{
    return zip_name_locate(m_zip, name.toUtf8().constData(), ZIP_FL_NOCASE) >= 0;
}

std::unique_ptr<QIODevice> ZipParts::open(const QString &name)
{
    const zip_int64_t index = zip_name_locate(m_zip, name.toUtf8().constData(), ZIP_FL_NOCASE);
    zip_stat_t st;
    if (index < 0 || zip_stat_index(m_zip, zip_uint64_t(index), 0, &st) != 0)
        throw FileRefused{QStringLiteral("the workbook has no part %1").arg(name)};
    zip_file_t *file = zip_fopen_index(m_zip, zip_uint64_t(index), 0);
    if (!file)
        throw FileRefused{QStringLiteral("the workbook's part %1 cannot be read: %2")
                              .arg(name, QString::fromUtf8(zip_strerror(m_zip)))};
    const qint64 declared = (st.valid & ZIP_STAT_SIZE) ? qint64(st.size) : m_budget;
    m_refusal.clear();
    return std::make_unique<PartDevice>(file, name, declared, &m_budget, m_limit, &m_refusal);
}

} // namespace qav
