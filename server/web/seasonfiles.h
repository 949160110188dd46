#pragma once

#include "server/http/exchange.h"
#include "server/storage/auditseal.h"
#include "server/web/adminsession.h"
#include "server/web/bookinguploads.h"

namespace qav::season {

// The season's files, for managers: a booking file uploaded for one performance (its dry run,
// its confirm written in the background, the write's progress) and a performance's audit
// exported. The caller has checked the session, the CSRF token and the role. Refusals are
// answered in Korean; nothing is written on any of them. Throws StorageError.

// POST bookings/upload?bizcode=&name=, the file as the body: the dry run, and the id to confirm
// it by when it has no bad line.
HttpAnswer uploadBookings(const HttpRequest &request, Storage &storage, const SignedInAdmin &admin,
                          BookingUploads &uploads);
// POST bookings/confirm {"id"}: plans the upload again and starts writing it when the plan is
// the dry run's; 409 with the new dry run when the bookings changed since.
HttpAnswer confirmBookings(const HttpRequest &request, const QString &id, Storage &storage,
                           const SignedInAdmin &admin, BookingUploads &uploads,
                           const BookingUploads::Opener &opener);
// GET bookings/progress?id=: how far the write is.
HttpAnswer bookingProgress(const HttpRequest &request, const SignedInAdmin &admin,
                           BookingUploads &uploads);
// GET audit/export?bizcode=&format=csv|xlsx: the audit of a performance as the command line's
// `audit --csv` or `--xlsx` writes it, seal line included, as a download.
HttpAnswer exportAudit(const HttpRequest &request, Storage &storage, const SignedInAdmin &admin,
                       const SealKey &key);

} // namespace qav::season
