#pragma once

// The backends openStorage chooses from.

#include "server/storage/pgurl.h"
#include "server/storage/storage.h"

namespace qav {

std::unique_ptr<Storage> openSqlite(const QString &path, StorageUse use = StorageUse::Admin);
std::unique_ptr<Storage> openPostgres(const PgParams &params, StorageUse use = StorageUse::Admin);

} // namespace qav
