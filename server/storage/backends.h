#pragma once

// The backends openStorage chooses from.

#include "server/storage/storage.h"

namespace qav {

struct PgParams
{
    QString host; // name, address or socket directory
    int port = 5432;
    QString user;
    QString password;
    QString database;
};

std::unique_ptr<Storage> openSqlite(const QString &path, StorageUse use = StorageUse::Admin);
std::unique_ptr<Storage> openPostgres(const PgParams &params, StorageUse use = StorageUse::Admin);

} // namespace qav
