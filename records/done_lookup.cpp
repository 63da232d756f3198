#include "records/done_lookup.h"

#include "records/history_store.h"

#include <memory>

std::function<bool(const QString &module_id)> done_lookup(const QString &db_path, const QString &sha256)
{
    auto store = std::make_shared<HistoryStore>(db_path);
    return [store, sha256](const QString &module_id) {
        if (!store->is_open() && !store->open())
            return false;
        HistoryFilter filter;
        filter.module_id = module_id;
        filter.sha256_prefix = sha256.toLower();
        filter.result = QStringLiteral("ok");
        filter.limit = 1;
        QVector<HistoryRow> rows;
        return store->rows(filter, rows) && !rows.isEmpty();
    };
}
